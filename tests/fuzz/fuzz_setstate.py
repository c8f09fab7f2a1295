#!/usr/bin/env python3
"""Fuzzes __setstate__ with raw bytes, through the interpreter.

Bytes the reader refuses must raise ValueError or TypeError; bytes it accepts must give tables
whose state the reader accepts again and that reads back to the same tables, and that decode
can use (any exception but SystemError, no crash).

Run by scripts/fuzz-surface.sh, under atheris with the module built for coverage and the
sanitizers; the arguments are libFuzzer's.
"""

import os
import struct
import sys

import atheris
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from state_tables import read_tables  # noqa: E402

from quorlin import Encoder  # noqa: E402


def _text_columns(state):
    """The text columns that state bytes name first, as far as they can be read."""
    if len(state) < 9 or state[0] != 1:
        return []
    count = min(struct.unpack_from("<Q", state, 1)[0], 4, (len(state) - 9) // 8)
    return [struct.unpack_from("<Q", state, 9 + 8 * i)[0] for i in range(count)]


def TestOneInput(data):  # noqa: N802 - atheris' name
    encoder = Encoder()
    try:
        encoder.__setstate__(data)
    except (ValueError, TypeError):
        return
    state = encoder.__getstate__()
    again = Encoder()
    again.__setstate__(state)
    # Maps are written in hash-map order, so the tables are compared, not the bytes.
    if read_tables(again.__getstate__()) != read_tables(state):
        raise AssertionError(f"state does not read back to the same tables: {data!r}")
    # Codes 0 .. 3 and a missing one in every column up to the highest named text column.
    columns = [c for c in _text_columns(state) if c < 8]
    width = max(columns, default=0) + 1
    codes = np.array([[float(r)] * width for r in range(4)] + [[np.nan] * width])
    try:
        encoder.decode(codes)
    except SystemError:
        raise
    except BaseException:  # noqa: B036, S110 - decode may refuse tables that hold no codes
        pass


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
