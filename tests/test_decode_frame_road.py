"""Decoding into a DataFrame gives exactly the frame of the plain steps: a float frame, then per
text column `astype("object")`, `__setitem__` and a `.loc[:, name]` assignment of the labels."""

import math
import re

import numpy as np
import pandas as pd
import pytest

from quorlin import Encoder
from state_tables import read_tables, state_bytes


def code_of(value):
    if not value > 0:
        return 0
    if value >= 2.0**64:
        return 2**64 - 1
    return int(value)


def plain_steps(enc, frame):
    tables = read_tables(enc.__getstate__())
    names = [str(c) for c in frame.columns]
    out = pd.DataFrame(frame.to_numpy(dtype=float), columns=names)
    if tables is None or not tables[0]:
        return out
    text_columns, _, code_to_label = tables
    for c in text_columns:
        table = code_to_label[c]
        values = [None if math.isnan(v) else table.get(code_of(v)) for v in out.iloc[:, c]]
        name = names[c]
        out.__setitem__(name, out[name].astype("object"))
        out.loc[:, name] = values
    return out


def assert_same_frame(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    assert list(got.dtypes) == list(want.dtypes)
    for name in got.columns:
        assert [type(v) for v in got[name]] == [type(v) for v in want[name]]


FITS = [
    pd.DataFrame({"s": pd.Series(["b", "a", None, "nan", "c"], dtype=object),
                  "n": [1.0, 2.0, 3.0, 4.0, 5.0],
                  "t": pd.Series(["x", "x", "y", "<NA>", "é"], dtype=object)}),
    pd.DataFrame({"only": pd.Series(["nan", "NaN"], dtype=object)}),
    pd.DataFrame({"a": [1, 2], "b": [0.5, 1.5]}),
    # Numeric columns apart, and side by side, around the text column.
    pd.DataFrame({"a": [1.0, 2.0], "b": pd.Series(["q", "p"], dtype=object), "c": [3.0, 4.0]}),
    pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0], "c": pd.Series(["q", "p"], dtype=object)}),
]

CODES = [
    pd.DataFrame({"s": [0.0, 1.0, np.nan, 99.0, -1.0], "n": [9.0, 8.0, 7.0, 6.0, 5.0],
                  "t": [2.9, 0.0, 1.0, np.inf, np.nan]}),
    pd.DataFrame({"s": [], "n": [], "t": []}, dtype=float),
    pd.DataFrame({"s": [3.0], "n": [1.0], "t": [1e300]}),
]


@pytest.mark.parametrize("fit", range(len(FITS)))
@pytest.mark.parametrize("codes", range(len(CODES)))
def test_decode_frame_matches_the_plain_steps(fit, codes):
    enc = Encoder()
    enc.encode(FITS[fit])
    frame = CODES[codes]
    if fit == 1:
        frame = frame[["s"]].rename(columns={"s": "only"})
    assert_same_frame(enc.decode(frame), plain_steps(enc, frame))


def test_incoherent_codes_decode_like_the_plain_steps():
    enc = Encoder()
    enc.__setstate__(state_bytes([0], {0: {"x": 5}}, {0: {5: "x", 2**63: "far", 0: "zero"}}))
    frame = pd.DataFrame({"c": [5.0, 2.0**63, 1.0, 0.0, 5.5, -2.0]})
    assert_same_frame(enc.decode(frame), plain_steps(enc, frame))


def test_column_listed_twice_decodes_as_listed_once():
    # Tables from state bytes may list a text column twice: it is decoded twice from the same
    # codes, which leaves it as decoding it once does.
    frame = pd.DataFrame({"x": np.zeros(50_000), "y": np.ones(50_000)})
    once, twice = Encoder(), Encoder()
    once.__setstate__(state_bytes([0], {0: {"a": 0}}, {0: {0: "a"}}))
    twice.__setstate__(state_bytes([0, 0], {0: {"a": 0}}, {0: {0: "a"}}))
    assert_same_frame(twice.decode(frame), plain_steps(once, frame))


def _codes(make):
    rng = np.random.default_rng(5)
    values = np.floor(rng.random((6, 3)) * 4) - 0.5 * (rng.random((6, 3)) < 0.2)
    return make(values)


# Float frames whose columns lie in memory in different ways: one block in either order, rows
# or columns reversed, a strided view, columns in blocks of their own, and duplicate names.
LAYOUTS = {
    "C block": lambda v: pd.DataFrame(np.ascontiguousarray(v), columns=list("abc")),
    "F block": lambda v: pd.DataFrame(np.asfortranarray(v), columns=list("abc"), copy=False),
    "rows reversed": lambda v: pd.DataFrame(v[::-1].copy()[::-1], columns=list("abc"),
                                            copy=False),
    "columns reversed": lambda v: pd.DataFrame(v[:, ::-1].copy()[:, ::-1], columns=list("abc"),
                                               copy=False),
    "strided": lambda v: pd.DataFrame(np.repeat(v, 2, axis=0)[::2], columns=list("abc"),
                                      copy=False),
    "own blocks": lambda v: pd.DataFrame({k: v[:, i].copy() for i, k in enumerate("abc")}),
    "duplicate names": lambda v: pd.DataFrame(v, columns=["a", "b", "a"]),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("fitted", ["text", "numbers"])
def test_decode_of_float_frames_reads_them_as_item_access_does(layout, fitted):
    from adapter_roads import general_frame, same_cells

    enc = Encoder()
    if fitted == "text":
        enc.encode(pd.DataFrame({"a": pd.Series(list("pqrs"), dtype=object), "b": [1.0] * 4,
                                 "c": pd.Series(list("wxyz"), dtype=object)}))
    else:
        enc.encode(pd.DataFrame({"a": [1.0], "b": [2.0], "c": [3.0]}))
    frame = _codes(LAYOUTS[layout])
    try:
        result = enc.decode(frame)
    except ValueError as exc:  # duplicate names: pandas refuses the assignment on both roads
        with pytest.raises(ValueError, match=re.escape(str(exc))):
            enc.decode(general_frame(frame))
        return
    same_cells(result, enc.decode(general_frame(frame)))
    # The input is read, never kept: the numbers of the result are its own.
    assert not np.shares_memory(result.to_numpy(), frame.to_numpy())


def _fit_text():
    enc = Encoder()
    enc.encode(pd.DataFrame({"t": pd.Series(["a", "b", "c"], dtype=object)}))
    return enc


def _fit_numbers():
    enc = Encoder()
    enc.encode(pd.DataFrame({"t": [5.0]}))
    return enc


# Codes that decode reads where they lie are read before pandas is imported for the result:
# a replaced __import__ that changes or frees them then is too late to change the result.
@pytest.mark.parametrize("fit, want", [(_fit_text, ["a", "b", "c"]),
                                       (_fit_numbers, [0.0, 1.0, 2.0])])
@pytest.mark.parametrize("change", ["write", "resize"])
@pytest.mark.parametrize("frame_class", ["pandas' own", "replaced"])
def test_codes_are_read_before_the_import_runs_caller_code(monkeypatch, fit, want, change,
                                                           frame_class):
    import builtins

    enc = fit()
    codes = np.array([[0.0], [1.0], [2.0]])
    frame = pd.DataFrame(codes, columns=["t"], copy=False)
    if frame_class == "replaced":
        real_frame = pd.DataFrame
        monkeypatch.setattr(pd, "DataFrame", lambda *a, **k: real_frame(*a, **k))
    real_import = builtins.__import__

    def hook(name, *args, **kwargs):
        if name == "pandas":
            monkeypatch.setattr(builtins, "__import__", real_import)
            if change == "write":
                codes[:, 0] = 2.0
            else:
                codes.resize((1000, 1), refcheck=False)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", hook)
    assert enc.decode(frame)["t"].tolist() == want


class Refused(Exception):
    pass


def test_a_replaced_dataframe_class_is_called_as_the_plain_steps_call_it(monkeypatch):
    enc = _fit_text()
    frame = pd.DataFrame({"t": [0.0, 2.0]})
    before = enc.__getstate__()
    calls = []

    def refusing(*args, **kwargs):
        calls.append((args, kwargs))
        raise Refused

    monkeypatch.setattr(pd, "DataFrame", refusing)
    with pytest.raises(Refused):
        enc.decode(frame)
    assert enc.__getstate__() == before
    with pytest.raises(Refused):
        enc.encode(frame)
    for args, kwargs in calls:
        assert [a.tolist() for a in args] == [[[0.0], [2.0]]] and kwargs == {"columns": ["t"]}


def test_a_replaced_dataframe_class_gets_an_array_of_its_own(monkeypatch):
    # The plain steps read the codes again after the class made the frame: what the class does
    # to the array it was given must not change them.
    enc = _fit_text()
    frame = pd.DataFrame({"t": [0.0, 2.0]})
    real = pd.DataFrame

    def overwriting(array, **kwargs):
        array[:] = 1.0
        return real(array, **kwargs)

    monkeypatch.setattr(pd, "DataFrame", overwriting)
    assert enc.decode(frame)["t"].tolist() == ["a", "c"]


def test_a_replaced_dataframe_class_meets_the_hold(monkeypatch):
    enc = _fit_text()
    frame = pd.DataFrame({"t": [0.0, 2.0]})
    real = pd.DataFrame
    seen = []

    def reentrant(*args, **kwargs):
        with pytest.raises(RuntimeError, match="Already borrowed"):
            enc.encode(frame)
        seen.append(True)
        return real(*args, **kwargs)

    monkeypatch.setattr(pd, "DataFrame", reentrant)
    result = enc.decode(frame)
    monkeypatch.undo()
    assert seen == [True]
    assert result["t"].tolist() == ["a", "c"]
