"""Reads an Encoder's state bytes back into plain Python tables, for comparing fits."""

import struct


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
