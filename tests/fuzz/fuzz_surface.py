#!/usr/bin/env python3
"""Fuzzes encode, decode and the state of the tables with tables that the fuzz bytes describe.

Each input is built twice, as the exact class (read by the module's direct roads) and as a
subclass of the same name (read by item access only), and both go through the same calls:
encode, getstate, decode of the codes, decode of the table itself. Any difference in outcome
(result, or exception class and message), and any crash, is a finding.

Run by scripts/fuzz-surface.sh, under atheris with the module built for coverage and the
sanitizers; the arguments are libFuzzer's.
"""

import os
import re
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
with atheris.instrument_imports(include=["surface_tables"]):
    import surface_tables

import numpy as np
import pandas as pd
from state_tables import read_tables

from quorlin import Encoder

_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


def _plain_value(value):
    if isinstance(value, float) and value != value:
        return ("nan",)
    return (type(value).__name__, repr(value))


def plain(result):
    """A result as comparable plain data: kind, dtypes, shape and every cell with its type."""
    if isinstance(result, pd.DataFrame):
        cells = result.to_numpy(dtype=object)
        return ("frame", [repr(c) for c in result.columns], [str(d) for d in result.dtypes],
                cells.shape, [[_plain_value(v) for v in row] for row in cells.tolist()])
    if isinstance(result, np.ndarray):
        return ("array", type(result).__name__, result.dtype.str, result.shape,
                [[_plain_value(v) for v in row] for row in result.tolist()])
    if isinstance(result, tuple):
        return ("tuple", result)
    return ("other", _plain_value(result))


def sorted_tables(state):
    """The tables of state bytes with their maps as sorted lists."""
    tables = read_tables(state)
    if tables is None:
        return None
    text_columns, label_to_code, code_to_label = tables
    return (text_columns,
            sorted((c, sorted(m.items(), key=repr)) for c, m in label_to_code.items()),
            sorted((c, sorted(m.items())) for c, m in code_to_label.items()))


def outcome(call):
    """("ok", plain result, result) or ("raised", class name, message)."""
    try:
        result = call()
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(exc, SystemError):
            raise  # a C-API misuse is a finding on either road
        return ("raised", type(exc).__name__, _ADDRESS.sub("", str(exc)))
    return ("ok", plain(result), result)


def run(plan, road):
    encoder = Encoder()
    table = surface_tables.build(plan, road)
    encoded = outcome(lambda: encoder.encode(table))
    # The state's maps are written in the order of hash maps, which need not be the same
    # from one Encoder to the next: the tables are compared, not the bytes.
    steps = [encoded[:2], outcome(lambda: sorted_tables(encoder.__getstate__()))[:2]]
    if encoded[0] == "ok":
        steps.append(outcome(lambda: encoder.decode(encoded[2]))[:2])
    # A cell whose code changes the table may have changed it during encode: decode gets a
    # fresh one then. Otherwise the table is as it was built, and building costs more than
    # the calls (pandas).
    again = surface_tables.build(plan, road) if surface_tables.changes(plan) else table
    steps.append(outcome(lambda: encoder.decode(again))[:2])
    return steps


def TestOneInput(data):  # noqa: N802 - atheris' name
    plan = surface_tables.describe(atheris.FuzzedDataProvider(data))
    exact, general = run(plan, "exact"), run(plan, "general")
    if exact != general:
        names = ["encode", "getstate", "decode of the codes", "decode of the table"]
        for name, a, b in zip(names, exact, general):
            if a != b:
                raise AssertionError(f"{name} differs between the roads:\n  exact:   {a!r}\n"
                                     f"  general: {b!r}\nplan: {plan!r}")
        raise AssertionError(f"the roads made different calls\nplan: {plan!r}")


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
