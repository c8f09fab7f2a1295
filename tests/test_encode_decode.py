"""encode and decode end to end: results, tables, holds and failure paths."""

import sys

import numpy as np
import pandas as pd
import pytest

from helpers import is_panic
from quorlin import Encoder
from state_tables import state_bytes

pytestmark = pytest.mark.leakcheck


def test_encode_by_keyword_and_decode_round_trip():
    enc = Encoder()
    data = np.array([["b", 1.5], ["a", np.nan], ["b", -2.0], ["nan", 0.0]], dtype=object)
    codes = enc.encode(obj=data)
    assert codes.dtype == np.float64
    np.testing.assert_array_equal(codes, [[1.0, 1.5], [0.0, np.nan], [1.0, -2.0], [np.nan, 0.0]])
    back = enc.decode(codes)
    assert back.dtype == object
    assert [row[0] for row in back.tolist()] == ["b", "a", "b", "NaN"]
    assert [type(v) for v in back[:, 1]] == [float] * 4


def test_decode_on_fresh_encoder_gives_floats():
    out = Encoder().decode(np.array([["a", 1]], dtype=object))
    assert out.dtype == np.float64
    np.testing.assert_array_equal(out, [[0.0, 1.0]])
    frame = Encoder().decode(pd.DataFrame({"s": ["b", "a"], "n": [1.0, 2.0]}))
    assert list(frame.dtypes) == [np.float64, np.float64]
    assert frame["s"].tolist() == [1.0, 0.0]


def test_encoding_a_float_array_forgets_the_fit():
    enc = Encoder()
    enc.encode(pd.DataFrame({"s": ["x", "y"]}))
    enc.encode(np.zeros((2, 2)))
    assert enc.__getstate__() == b"\x00" * 5
    assert enc.decode(np.array([[0.0]])).dtype == np.float64


def test_failed_encode_keeps_the_tables(capfd):
    enc = Encoder()
    enc.encode(pd.DataFrame({"s": ["x", "y"]}))
    with pytest.raises(TypeError, match="^Unsupported type: 'list'"):
        enc.encode([["a"]])
    assert enc.decode(np.array([[1.0]])).tolist() == [["y"]]


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_each_decode_gives_the_labels_of_the_fit_it_follows(kind):
    def table(first, second):
        cells = np.array([[first], [second], [first]], dtype=object)
        return cells if kind == "array" else pd.DataFrame(cells, columns=["s"])

    def labels(decoded):
        return list(np.asarray(decoded, dtype=object)[:, 0])

    enc = Encoder()
    codes = enc.encode(table("bee", "ant"))
    state = enc.__getstate__()
    first = labels(enc.decode(codes))
    assert first == ["bee", "ant", "bee"]
    # Cells may share a label's str with earlier results; each cell holds its own reference.
    label = first[0]
    before = sys.getrefcount(label)
    third = labels(enc.decode(codes))
    assert third == first
    assert sys.getrefcount(label) - before == sum(cell is label for cell in third)
    del third
    assert sys.getrefcount(label) == before
    # A new fit, of as many labels, and the fit read back from state bytes: their own labels.
    assert labels(enc.decode(enc.encode(table("yak", "ox")))) == ["yak", "ox", "yak"]
    enc.__setstate__(state)
    assert labels(enc.decode(codes)) == ["bee", "ant", "bee"]


def test_decode_encodes_unlisted_text_columns_without_changing_tables():
    enc = Encoder()
    enc.encode(np.array([["a", 1.0]], dtype=object))
    state = enc.__getstate__()
    out = enc.decode(np.array([[0.0, "q"], [0.0, "p"]], dtype=object))
    assert out.tolist() == [["a", 1.0], ["a", 0.0]]
    assert enc.__getstate__() == state


class Probe:
    """A numeric cell whose conversion calls back into an Encoder."""

    def __init__(self, action):
        self.action = action
        self.seen = []

    def __float__(self):
        try:
            self.seen.append(("ok", self.action()))
        except RuntimeError as exc:
            self.seen.append(("RuntimeError", str(exc)))
        return 1.0


REENTRANT = [
    # outer, inner, expected
    ("encode", "decode", "Already mutably borrowed"),
    ("encode", "__getstate__", "Already mutably borrowed"),
    ("encode", "encode", "Already borrowed"),
    ("encode", "__setstate__", "Already borrowed"),
    ("decode", "decode", None),
    ("decode", "__getstate__", None),
    ("decode", "encode", "Already borrowed"),
    ("decode", "__setstate__", "Already borrowed"),
]


@pytest.mark.parametrize("outer, inner, expected", REENTRANT)
def test_reentrant_calls(outer, inner, expected):
    enc = Encoder()
    enc.encode(np.array([["a"]], dtype=object))
    args = {"decode": (np.array([[0.0]]),), "encode": (np.array([["z"]], dtype=object),),
            "__getstate__": (), "__setstate__": (b"\x00" * 5,)}[inner]
    probe = Probe(lambda: getattr(enc, inner)(*args))
    getattr(enc, outer)(np.array([[probe]], dtype=object))
    assert len(probe.seen) == 1
    kind, value = probe.seen[0]
    if expected is None:
        assert kind == "ok"
    else:
        assert (kind, value) == ("RuntimeError", expected)
    # Every method works again afterwards.
    enc.decode(np.array([[0.0]]))
    enc.__setstate__(enc.__getstate__())
    enc.encode(np.array([["a"]], dtype=object))


class PanicProbe:
    """A numeric cell whose conversion runs a decode that fails inside the module."""

    def __init__(self, broken):
        self.broken = broken

    def __float__(self):
        return float(self.broken.decode(np.array([[0.0]])).ravel()[0])


def test_panic_from_a_nested_call_becomes_the_outer_panic(capfd):
    broken = Encoder()
    broken.__setstate__(state_bytes([0], {}, {}))
    probe = PanicProbe(broken)
    enc = Encoder()
    with pytest.raises(BaseException) as info:
        try:
            enc.encode(np.array([[probe]], dtype=object))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    assert is_panic(info.value)
    assert str(info.value) == "no entry found for key"
    err = capfd.readouterr().err
    assert "PanicException" in err and "no entry found for key" in err
    # Both encoders stay usable.
    assert enc.encode(np.array([["k"]], dtype=object)).tolist() == [[0.0]]
    broken.__setstate__(b"\x00" * 5)
    assert broken.decode(np.array([[0.0]])).tolist() == [[0.0]]


# ---- output construction -------------------------------------------------------------------


def test_encode_frame_has_float_columns_and_a_fresh_index():
    frame = pd.DataFrame({"s": pd.Series(["b", None, "a"], dtype=object, index=[10, 20, 30]),
                          "n": [1, 2, 3]}, index=[10, 20, 30])
    out = Encoder().encode(frame)
    assert list(out.columns) == ["s", "n"]
    assert list(out.dtypes) == [np.float64, np.float64]
    assert list(out.index) == [0, 1, 2]
    assert out["s"].tolist() == [2.0, 0.0, 1.0]  # "None" is an ordinary label, before "a"
    assert out["n"].tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_zero_rows(kind):
    enc = Encoder()
    if kind == "array":
        out = enc.encode(np.empty((0, 3), dtype=object))
        assert out.shape == (0, 3) and out.dtype == np.float64
    else:
        out = enc.encode(pd.DataFrame({"a": [], "b": []}, dtype=object))
        assert list(out.columns) == ["a", "b"] and len(out) == 0
    assert enc.__getstate__() == b"\x01" + b"\x00" * 28


# ---- decoding ------------------------------------------------------------------------------


@pytest.fixture
def three_labels():
    enc = Encoder()
    enc.encode(pd.DataFrame({"n": [0.5, 1.5, 2.5, 3.5], "s": ["c", "a", "b", "nan"]}))
    return enc


CODES = [0.0, 2.0, np.nan, 99.0, -3.0, 2.9, 1e30, -np.inf, np.inf]
ARRAY_LABELS = ["a", "c", "NaN", "NaN", "a", "c", "NaN", "a", "NaN"]


def test_array_decode_of_codes(three_labels):
    codes = np.column_stack([np.arange(len(CODES), dtype=float), CODES])
    out = three_labels.decode(codes)
    assert out.dtype == object
    assert out[:, 1].tolist() == ARRAY_LABELS
    assert out[:, 0].tolist() == list(range(len(CODES)))
    assert all(type(v) is float for v in out[:, 0])


def _unaligned(codes):
    raw = np.zeros(codes.size * 8 + 1, dtype=np.uint8)[1:].view(np.float64).reshape(codes.shape)
    raw[...] = codes
    return raw


# The codes are read where they lie, through their strides (copied only when unaligned).
@pytest.mark.parametrize("layout", [
    np.asfortranarray,
    lambda a: a[::-1].copy()[::-1],
    lambda a: a[:, ::-1].copy()[:, ::-1],
    lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
    _unaligned,
], ids=["F", "rows reversed", "columns reversed", "strided", "unaligned"])
def test_array_decode_reads_any_layout(three_labels, layout):
    codes = np.column_stack([np.arange(len(CODES), dtype=float), CODES])
    out = three_labels.decode(layout(codes.copy()))
    assert out[:, 1].tolist() == ARRAY_LABELS
    assert out[:, 0].tolist() == list(range(len(CODES)))


def test_frame_decode_of_codes(three_labels):
    frame = pd.DataFrame({"x": np.arange(len(CODES), dtype=float), "y": CODES})
    out = three_labels.decode(frame)
    assert list(out.columns) == ["x", "y"]
    assert out["x"].dtype == np.float64
    assert out["y"].dtype == object
    assert out["y"].tolist() == [None if v == "NaN" else v for v in ARRAY_LABELS]


def test_empty_text_columns_differ_between_paths():
    enc = Encoder()
    enc.encode(np.array([[1, 2]]))
    arr = enc.decode(np.array([[1.0, 2.0]]))
    assert arr.dtype == object and [type(v) for v in arr[0]] == [float, float]
    frame = enc.decode(pd.DataFrame({"a": [1.0]}))
    assert frame["a"].dtype == np.float64


def test_all_marker_column_decodes_to_missing():
    enc = Encoder()
    enc.encode(np.array([["nan"], ["<NA>"]], dtype=object))
    assert enc.decode(np.array([[0.0], [np.nan]])).tolist() == [["NaN"], ["NaN"]]
    assert enc.decode(pd.DataFrame({"c": [0.0]}))["c"].tolist() == [None]


@pytest.fixture
def wide():
    enc = Encoder()
    enc.encode(pd.DataFrame({"a": [1.0], "b": [2.0], "c": ["t"]}))
    return enc


def test_narrower_array_fails_out_of_bounds(wide):
    with pytest.raises(BaseException) as info:
        wide.decode(np.array([[0.0]]))
    assert is_panic(info.value) and str(info.value) == "ndarray: index out of bounds"
    # Zero rows: nothing is read, so nothing fails.
    assert wide.decode(np.empty((0, 1))).shape == (0, 1)


def test_narrower_frame_fails_on_the_names(wide):
    with pytest.raises(BaseException) as info:
        wide.decode(pd.DataFrame({"a": [0.0]}))
    assert is_panic(info.value) and str(info.value) == "ndarray: index out of bounds"
    with pytest.raises(BaseException) as info:
        wide.decode(pd.DataFrame({"a": []}, dtype=float))
    assert is_panic(info.value)
    assert str(info.value) == "index out of bounds: the len is 1 but the index is 2"
    assert wide.decode(pd.DataFrame({"a": [0.0], "b": [0.0], "c": [0.0]}))["c"].tolist() == ["t"]


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_missing_code_table_is_an_internal_failure(kind):
    enc = Encoder()
    enc.__setstate__(state_bytes([0, 1], {}, {1: {0: "q"}}))
    data = np.array([[0.0, 0.0]]) if kind == "array" else pd.DataFrame({"a": [0.0], "b": [0.0]})
    with pytest.raises(BaseException) as info:
        enc.decode(data)
    assert is_panic(info.value) and str(info.value) == "no entry found for key"


def test_tables_fitted_on_a_frame_apply_to_an_array_by_index():
    enc = Encoder()
    enc.encode(pd.DataFrame({"n": [1.0, 2.0], "s": ["q", "p"]}))
    assert enc.decode(np.array([[5.0, 1.0]])).tolist() == [[5.0, "q"]]
