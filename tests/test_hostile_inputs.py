"""Odd and hostile inputs: each ends in a clear result or exception, never a crash."""

import math

import numpy as np
import pandas as pd
import pytest

from cells import Floaty
from helpers import FREE_THREADED, is_panic
from quorlin import Encoder


def column(values):
    data = np.empty((len(values), 1), dtype=object)
    for i, v in enumerate(values):
        data[i, 0] = v
    return data


def round_trip(values):
    enc = Encoder()
    codes = enc.encode(column(values))
    return codes[:, 0].tolist(), enc.decode(codes)[:, 0].tolist()


def test_embedded_nul_bytes_are_part_of_the_label():
    codes, labels = round_trip(["a\0b", "a", "a\0", "b", "a\0b"])
    assert codes == [2.0, 0.0, 1.0, 3.0, 2.0]
    assert labels == ["a\0b", "a", "a\0", "b", "a\0b"]


def test_lone_surrogates_become_replacement_characters():
    codes, labels = round_trip(["\udc80x", "\ud800x", "x"])
    # Each surrogate renders as three U+FFFD, so the two cells share a label.
    assert codes == [1.0, 1.0, 0.0]
    assert labels == ["\ufffd" * 3 + "x", "\ufffd" * 3 + "x", "x"]


def test_megabyte_labels():
    big = "q" * (1 << 20)
    codes, labels = round_trip([big + "b", big + "a", big + "b", big])
    assert codes == [2.0, 1.0, 2.0, 0.0]
    assert labels[0] == big + "b" and labels[3] == big


def test_a_million_distinct_labels():
    rng = np.random.default_rng(3)
    numbers = rng.permutation(1_000_000)
    data = np.array([f"{n:07d}" for n in numbers], dtype=object).reshape(-1, 1)
    enc = Encoder()
    codes = enc.encode(data)
    np.testing.assert_array_equal(codes[:, 0], numbers.astype(float))
    back = enc.decode(codes[:5])
    assert back[:, 0].tolist() == list(data[:5, 0])


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "cells, codes_or_labels",
    [
        ([Floaty(math.nan), Floaty(math.inf), Floaty(-math.inf)], [math.nan, math.inf, -math.inf]),
        ([Floaty(math.nan), Floaty(math.inf), "t"], ["NaN", "inf", "t"]),
        ([Floaty(-math.inf), "t", Floaty(math.inf)], ["-inf", "t", "Floaty(inf)"]),
    ],
)
def test_float_protocol_returning_nan_and_infinities(cells, codes_or_labels):
    enc = Encoder()
    codes = enc.encode(column(cells))[:, 0]
    if all(isinstance(v, float) for v in codes_or_labels):
        np.testing.assert_array_equal(codes, codes_or_labels)
    else:
        labels = enc.decode(enc.encode(column(cells)))[:, 0].tolist()
        assert labels == [l if l not in ("NaN", "nan") else "NaN" for l in codes_or_labels]


class StrSubKeepingItsClass(str):
    """A str subclass whose str() is itself, so str() of it is never an exact str."""

    def __str__(self):
        return self


class Weird:
    def __str__(self):
        return StrSubKeepingItsClass("weird")


class BadFloat:
    def __float__(self):
        return "not a float"

    def __str__(self):
        return "bad"


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("no")

    def __str__(self):
        return "raising"


class IndexOnly:
    def __index__(self):
        return 7


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "cells, labels",
    [
        ([Weird(), "a"], ["weird", "a"]),
        ([BadFloat(), 1.0], ["bad", "1.0"]),
        ([RaisingFloat(), "z"], ["raising", "z"]),
        ([2**64 + 1, "x"], ["18446744073709552000", "x"]),
        ([2**1024, 2**64 + 1], [str(2**1024), str(2**64 + 1)]),
        ([1, 2.5, True, "x", 3, None, False], ["1", "2.5", "1", "x", "3", "None", "False"]),
    ],
)
def test_cells_that_change_type_or_misbehave(cells, labels):
    enc = Encoder()
    decoded = enc.decode(enc.encode(column(cells)))[:, 0].tolist()
    assert decoded == labels


def test_index_only_objects_are_numbers():
    out = Encoder().encode(column([IndexOnly(), 2.0]))
    assert out[:, 0].tolist() == [7.0, 2.0]


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (1, 1), (0, 0)])
@pytest.mark.parametrize("dtype", [object, np.int64, np.float64, "U3"])
def test_small_and_empty_shapes(shape, dtype):
    data = np.zeros(shape, dtype=dtype) if dtype != "U3" else np.full(shape, "ab", dtype="U3")
    enc = Encoder()
    out = enc.encode(data)
    assert out.shape == shape and out.dtype == np.float64
    assert enc.decode(out).shape == shape


@pytest.mark.parametrize(
    "view",
    [lambda a: a[::-1, ::-1], lambda a: a[:, ::2], lambda a: a.T, lambda a: a[1::3, 1:]],
)
def test_views_read_only_and_memmaps_are_never_written(tmp_path, view):
    base = np.array([[f"s{(r * 7 + c) % 5}" for c in range(6)] for r in range(9)], dtype=object)
    base[::2, 1] = 1.5
    plain = view(base)
    readonly = view(base.copy())
    readonly.flags.writeable = False
    mm = np.memmap(tmp_path / "m.dat", dtype=np.float64, mode="w+", shape=(9, 6))
    mm[:] = np.arange(54).reshape(9, 6)
    mm.flush()
    mm_ro = np.memmap(tmp_path / "m.dat", dtype=np.float64, mode="r", shape=(9, 6))
    for data in (plain, readonly, view(mm_ro), view(mm_ro).astype(np.float32)):
        before = np.array(data, copy=True)
        enc = Encoder()
        codes = enc.encode(data)
        enc.decode(codes)
        assert codes.shape == data.shape
        np.testing.assert_array_equal(np.asarray(data), before)
    # A view encodes exactly as its contiguous copy.
    np.testing.assert_array_equal(Encoder().encode(plain), Encoder().encode(plain.copy()))


def test_numpy_missing_at_run_time(python_child):
    proc = python_child(
        """
        import sys
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("numpy is blocked for this test")
        sys.meta_path.insert(0, Block())
        import quorlin
        class ndarray:
            shape = (1, 1)
        try:
            quorlin.Encoder().encode(ndarray())
        except ImportError as exc:
            print(type(exc).__name__, exc)
        """
    )
    assert proc.stdout.strip() == "ImportError numpy is blocked for this test"


def test_pandas_missing_at_run_time_for_the_table_form(python_child):
    proc = python_child(
        """
        import sys
        import numpy as np
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name == "pandas" or name.startswith("pandas."):
                    raise ImportError("pandas is blocked for this test")
        sys.meta_path.insert(0, Block())
        import quorlin
        class Columns(list):
            pass
        class DataFrame:
            columns = ["a", "b"]
            shape = (1, 2)
            values = np.array([["x", 1.0]], dtype=object)
        enc = quorlin.Encoder()
        try:
            enc.encode(DataFrame())
        except ImportError as exc:
            print(type(exc).__name__, exc)
        # The fit happened before the output failed, as for any output failure.
        print(len(enc.__getstate__()))
        """
    )
    lines = proc.stdout.strip().splitlines()
    assert lines[0] == "ImportError pandas is blocked for this test"
    assert int(lines[1]) > 5


class InterruptedFloat:
    def __float__(self):
        raise KeyboardInterrupt


class InterruptedStr:
    def __str__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize(
    "cells", [[InterruptedFloat(), "a"], ["a", InterruptedStr()], [1.0, "b", InterruptedStr()]]
)
def test_ctrl_c_inside_a_cell_ends_the_call_with_keyboard_interrupt(cells):
    enc = Encoder()
    enc.encode(column(["kept"]))
    with pytest.raises(KeyboardInterrupt):
        enc.encode(column(cells))
    with pytest.raises(KeyboardInterrupt):
        enc.encode(pd.DataFrame({"c": pd.Series(cells, dtype=object)}))
    assert enc.decode(np.array([[0.0]])).tolist() == [["kept"]]


@pytest.mark.parametrize("order", ["C", "F"])
def test_codes_freed_between_their_read_and_the_decode_are_refused(monkeypatch, order):
    # Codes that decode reads where they lie are read before the output's import of pandas.
    # Code run by that import that also puts another class in pandas.DataFrame's place sends
    # decode back to the codes for the plain steps, which check them again first: here the
    # array that owns their memory has shrunk along its last axis, which the first two axes of
    # the view do not show.
    enc = Encoder()
    enc.encode(pd.DataFrame({"t": pd.Series(["a", "b"], dtype=object), "n": [1.0, 2.0]}))
    owner = np.zeros((1000, 2, 2), order=order)
    frame = pd.DataFrame(owner[:, :, 1], columns=["t", "n"], copy=False)
    real_import = __import__
    real_frame = pd.DataFrame

    def hook(name, *args, **kwargs):
        if name == "pandas" and owner.shape[2] == 2:
            owner.resize((1000, 2, 1), refcheck=False)
            monkeypatch.setattr(pd, "DataFrame", lambda *a, **k: real_frame(*a, **k))
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr("builtins.__import__", hook)
    if FREE_THREADED:
        # Without the GIL decode never reads codes where they lie: its copy, taken before the
        # import, still holds the codes as they were.
        decoded = enc.decode(frame)
        assert decoded["t"].tolist() == ["a"] * 1000
        assert decoded["n"].tolist() == [0.0] * 1000
        return
    with pytest.raises(BaseException, match="DataFrame changed while it was read") as caught:
        enc.decode(frame)
    assert is_panic(caught.value)
