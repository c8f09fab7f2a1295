"""An Encoder's state bytes on the test side: written from plain Python tables, to give
__setstate__ chosen input, and read back into them, for comparing fits."""

import struct


def u64(value):
    return struct.pack("<Q", value)


def string(label):
    data = label.encode("utf-8") if isinstance(label, str) else label
    return u64(len(data)) + data


def state_bytes(text_columns, label_to_code, code_to_label, strategy=0):
    """State bytes of tables given as plain dicts, maps written in dict order."""
    out = b"\x01" + u64(len(text_columns)) + b"".join(u64(c) for c in text_columns)
    out += u64(len(label_to_code))
    for column, labels in label_to_code.items():
        out += u64(column) + u64(len(labels))
        for label, code in labels.items():
            out += string(label) + (b"\x00" if code is None else b"\x01" + u64(code))
    out += u64(len(code_to_label))
    for column, codes in code_to_label.items():
        out += u64(column) + u64(len(codes))
        for code, label in codes.items():
            out += u64(code) + string(label)
    return out + struct.pack("<I", strategy)


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        assert len(chunk) == n, "state bytes end early"
        self.pos += n
        return chunk

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def label(self):
        return self.take(self.u64()).decode("utf-8")


def read_tables(state):
    """(text_columns, {column: {label: code or None}}, {column: {code: label}}), or None."""
    r = _Reader(state)
    if r.take(1) == b"\x00":
        tables = None
    else:
        text_columns = [r.u64() for _ in range(r.u64())]
        label_to_code = {}
        for _ in range(r.u64()):
            column = r.u64()
            labels = {}
            for _ in range(r.u64()):
                label = r.label()
                labels[label] = r.u64() if r.take(1) == b"\x01" else None
            label_to_code[column] = labels
        code_to_label = {}
        for _ in range(r.u64()):
            column = r.u64()
            code_to_label[column] = {r.u64(): r.label() for _ in range(r.u64())}
        tables = (text_columns, label_to_code, code_to_label)
    assert r.take(4) == b"\x00" * 4 and r.pos == len(state)
    return tables


def fitted_labels(encoder):
    """{column: sorted labels} of the Encoder's tables, markers included."""
    tables = read_tables(encoder.__getstate__())
    assert tables is not None
    return {column: sorted(labels) for column, labels in tables[1].items()}
