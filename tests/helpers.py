"""Small helpers shared by the Python tests."""

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


def is_panic(exc):
    """True for the module's internal failure, which derives from BaseException only."""
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)
