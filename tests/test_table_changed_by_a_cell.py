"""A cell's own Python code changes the table while it is read.

Every case runs in a child process, so that a crash fails the test instead of ending the suite,
and compares the exact class's fast road with the item-access road of a subclass of the same
name (which owns its buffer, as the exact array does): result, or exception class and message.
"""

import json

import pytest

CHILD = r"""
import json, sys, warnings
import numpy as np
import pandas as pd
from quorlin import Encoder

warnings.simplefilter("ignore", DeprecationWarning)  # setting .shape
case, form = sys.argv[1], sys.argv[2]


class ndarray(np.ndarray):
    pass


class DataFrame(pd.DataFrame):
    pass


target = None


def change():
    if case == "shrink":
        target.resize((1, 1), refcheck=False)
    elif case == "grow":
        target.resize((6, 2), refcheck=False)
    elif case == "reshape":
        target.shape = (2, 3)
    elif case == "one_column":
        target.shape = (6, 1)
    elif case == "frame":
        target.iloc[1, 1] = "zzz"


class InFloat:
    def __float__(self):
        change()
        raise TypeError("not a number")

    def __str__(self):
        return "cell"


class InStr:
    def __str__(self):
        change()
        return "cell"


def outcome(make):
    try:
        result = Encoder().encode(make())
    except BaseException as e:  # PanicException derives from BaseException
        return [type(e).__name__, str(e)]
    values = result.values if isinstance(result, pd.DataFrame) else result
    return [[None if v != v else v for v in row] for row in values.tolist()]


def array(cls, trigger):
    global target
    rows = [["x", "p"], ["x", "q"], ["y", "r"]]
    target = np.empty((3, 2), dtype=object) if cls is None else ndarray((3, 2), dtype=object)
    for r, row in enumerate(rows):
        for c, cell in enumerate(row):
            target[r, c] = cell
    target[0, 0] = trigger()
    return target


def frame(cls):
    global target
    a, b, n = [InFloat(), "x", "y"], ["q", "p", "r"], [1.0, 2.0, 3.0]
    if form == "late":
        # The cell comes far down a column whose read stops at its first cell, after text:
        # the look at the cells' types must reach it.
        rows = 70_000
        a = [None] + ["x", "y"] * ((rows - 2) // 2) + [InStr()]
        b, n = (b * rows)[:rows], (n * rows)[:rows]
    target = cls({"a": pd.Series(a, dtype=object), "b": pd.Series(b, dtype=object), "n": n})
    return target


trigger = {"float": InFloat, "str": InStr}.get(form)
if case == "frame":
    print(json.dumps([outcome(lambda: frame(pd.DataFrame)), outcome(lambda: frame(DataFrame))]))
else:
    print(json.dumps([outcome(lambda: array(None, trigger)),
                      outcome(lambda: array(ndarray, trigger))]))
"""


@pytest.mark.parametrize(
    ("case", "form"),
    [
        ("shrink", "float"),
        ("shrink", "str"),
        ("grow", "float"),
        ("grow", "str"),
        ("reshape", "float"),
        ("reshape", "str"),
        ("one_column", "float"),
        ("one_column", "str"),
        ("frame", "float"),
        ("frame", "late"),
    ],
)
def test_fast_road_gives_what_item_access_gives(python_child, case, form):
    proc = python_child(f"import sys; sys.argv[1:] = {[case, form]!r}\n" + CHILD)
    exact, general = json.loads(proc.stdout.splitlines()[-1])
    assert exact == general


VIEW_CHILD = r"""
import sys
import numpy as np
from quorlin import Encoder


class Cell:
    def __float__(self):
        if sys.argv[1] == "float":
            base.resize((1, 1), refcheck=False)  # frees the memory that the view reads
        raise TypeError("not a number")

    def __str__(self):
        if sys.argv[1] == "str":
            base.resize((1, 1), refcheck=False)
        return "cell"


base = np.empty((3, 2), dtype=object)
base[:] = [["x", "p"], ["y", "q"], ["z", "r"]]
view = base[:, :]
view[0, 0] = Cell()
try:
    Encoder().encode(view)
except BaseException as e:  # PanicException derives from BaseException
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("form", ["float", "str"])
def test_view_whose_base_is_resized_is_refused(python_child, form):
    # Item access would read the freed memory as well: the call ends instead.
    proc = python_child(f"import sys; sys.argv[1:] = [{form!r}]\n" + VIEW_CHILD)
    assert proc.stdout.splitlines()[-1] == "PanicException ndarray changed while it was read"
