"""The input adapter: which inputs are accepted, column names, the float-array path and the
cell-by-cell path, observed through Encoder.encode, decode and the fitted tables."""

import ctypes
import signal
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

from adapter_roads import general_array, general_frame
from cells import BadStr, Floaty
from helpers import is_panic
from quorlin import Encoder
from state_tables import fitted_labels, read_tables

EMPTY_TABLES = b"\x01" + b"\x00" * 28


def panic_message(call):
    with pytest.raises(BaseException) as info:  # noqa: B017 - PanicException is not importable
        call()
    assert is_panic(info.value), repr(info.value)
    return str(info.value)


def fitted_encoder():
    """An Encoder holding a fit, to show that a failed call leaves it in place."""
    enc = Encoder()
    enc.encode(np.array([["keep"]], dtype=object))
    return enc


def assert_fit_kept(enc):
    assert enc.decode(np.array([[0.0]])).tolist() == [["keep"]]


# ---- classification ------------------------------------------------------------------------


class Frame(pd.DataFrame):
    """A DataFrame by inheritance, not by name."""


@pytest.mark.leakcheck
@pytest.mark.filterwarnings("ignore:the matrix subclass")
@pytest.mark.parametrize(
    "make, name",
    [
        (lambda: [[1.0]], "list"),
        (lambda: pd.Series([1.0]), "Series"),
        (lambda: np.matrix([[1.0]]), "matrix"),
        (lambda: np.ma.masked_array([[1.0]]), "MaskedArray"),
        (lambda: Frame({"a": [1.0]}), "Frame"),
        (lambda: None, "NoneType"),
        (lambda: np.float64(1.0), "float64"),
    ],
)
def test_unsupported_class_is_named_on_stdout_and_refused(capfd, make, name):
    obj = make()
    enc = fitted_encoder()
    with pytest.raises(TypeError) as info:
        enc.encode(obj)
    assert str(info.value) == (
        f"Unsupported type: '{name}'. Supported types are: numpy.ndarray, pandas.DataFrame")
    assert capfd.readouterr().out == name + "\n"
    assert_fit_kept(enc)
    with pytest.raises(TypeError):
        enc.decode(obj)
    assert capfd.readouterr().out == name + "\n"


class ndarray:  # noqa: N801 - accepted by its name alone
    """Not NumPy's: a table that answers shape and item access."""

    def __init__(self, shape, cell=lambda r, c: float(10 * r + c)):
        self.shape = shape
        self.cell = cell

    def __getitem__(self, key):
        r, c = key
        return self.cell(r, c)


def test_any_class_of_an_accepted_name_is_read_cell_by_cell():
    enc = Encoder()
    out = enc.encode(ndarray((2, 3)))
    np.testing.assert_array_equal(out, [[0.0, 1.0, 2.0], [10.0, 11.0, 12.0]])
    assert enc.__getstate__() == EMPTY_TABLES


# ---- column names --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "columns, names",
    [
        (["b", "a"], ["b", "a"]),
        (None, ["0", "1"]),
        ([-1, 2], ["-1", "2"]),
        ([2**63 - 1, -(2**63)], [str(2**63 - 1), str(-(2**63))]),
        (np.array([7, 3], dtype=np.uint8), ["7", "3"]),
        ([True, False], ["1", "0"]),
        (["a", "a"], ["a", "a"]),
        (["é", "\U0001f600"], ["é", "\U0001f600"]),
    ],
)
def test_column_names(columns, names):
    frame = pd.DataFrame([[1.0, "x"]], columns=columns)
    assert list(Encoder().encode(frame).columns) == names


@pytest.mark.parametrize(
    "columns, error, message",
    [
        ([1.5, 2.5], TypeError, "'float' object cannot be interpreted as an integer"),
        (["a", 1], TypeError, "'str' object cannot be interpreted as an integer"),
        (pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]), TypeError,
         "'tuple' object cannot be interpreted as an integer"),
        ([2**63, 0], OverflowError, None),
        (["ok", "\ud800"], TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_column_names_that_are_refused(columns, error, message):
    enc = fitted_encoder()
    frame = pd.DataFrame([[1.0, 2.0]], columns=pd.Index(columns, dtype=object)
                         if not isinstance(columns, pd.MultiIndex) else columns)
    with pytest.raises(error) as info:
        enc.encode(frame)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert_fit_kept(enc)


class Columns:
    def __init__(self, listed):
        self.listed = listed

    def tolist(self):
        if isinstance(self.listed, Exception):
            raise type(self.listed)(*self.listed.args)  # fresh, so no traceback piles up
        return self.listed


def frame_with_columns(columns):
    return type("DataFrame", (), {"columns": columns, "shape": (1, 1), "values": [[1.0]]})()


class Broken:
    @property
    def columns(self):
        raise KeyError("no columns here")


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "frame, error, message",
    [
        (frame_with_columns(Columns("ab")), TypeError, "Can't extract `str` to `Vec`"),
        (frame_with_columns("ab"), AttributeError, "'str' object has no attribute 'tolist'"),
        (frame_with_columns(Columns(5)), TypeError, None),
        (frame_with_columns(Columns(LookupError("from tolist"))), LookupError, "from tolist"),
        (type("DataFrame", (Broken,), {})(), KeyError, "'no columns here'"),
    ],
)
def test_column_name_failures_pass_unchanged(frame, error, message):
    enc = fitted_encoder()
    with pytest.raises(error) as info:
        enc.encode(frame)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert_fit_kept(enc)


class BytesFirst(Columns):
    """A sequence whose iteration meets bytes; its tolist() gives integers."""

    def __getitem__(self, i):
        return [b"x", "y"][i]

    def __len__(self):
        return 2


def test_names_come_from_tolist_when_an_item_is_not_a_string():
    frame = frame_with_columns(BytesFirst([4, -5]))
    frame.shape = (1, 2)
    frame.values = np.array([[1.0, 2.0]], dtype=object)
    assert list(Encoder().encode(frame).columns) == ["4", "-5"]


# ---- float-array path ----------------------------------------------------------------------


BASE = np.array([[1.5, np.nan, -0.0], [np.inf, -np.inf, 2.0**-1074], [1e300, 7.0, -3.25],
                 [0.1, 0.2, 0.3]])


@pytest.mark.parametrize(
    "make",
    [
        lambda: BASE.copy(),
        lambda: np.asfortranarray(BASE),
        lambda: BASE[::-1],
        lambda: BASE[:, ::-1],
        lambda: BASE[::-1, ::-1],
        lambda: np.asfortranarray(BASE)[::-1, ::-1],
        lambda: BASE[:, ::2],
        lambda: BASE[::2, 1:],
        lambda: BASE[1:2],
        lambda: BASE[:, 1:2],
        lambda: BASE[::-2, ::-2],
        lambda: BASE.T,
        lambda: BASE[:0],
        lambda: BASE[:, :0],
        lambda: np.broadcast_to(BASE[:1], (3, 3)),
        lambda: general_array(BASE),
    ],
)
def test_float_array_is_copied_whole_and_forgets_the_fit(make):
    source = make()
    before = source.copy()
    enc = fitted_encoder()
    out = enc.encode(source)
    np.testing.assert_array_equal(out, before)
    assert np.array_equal(np.signbit(out), np.signbit(before))
    np.testing.assert_array_equal(source, before)
    assert enc.__getstate__() == b"\x00" * 5


def test_float_memmap_takes_the_float_path(tmp_path):
    mm = np.memmap(tmp_path / "m.dat", dtype=np.float64, mode="w+", shape=(3, 2), order="F")
    mm[:] = [[1.0, 2.0], [3.0, np.nan], [5.0, 6.0]]
    enc = Encoder()
    out = enc.encode(mm)
    assert type(out) is np.ndarray
    np.testing.assert_array_equal(out, mm)
    assert enc.__getstate__() == b"\x00" * 5


def test_float64_of_other_byte_order_is_read_cell_by_cell():
    enc = Encoder()
    out = enc.encode(BASE.astype(">f8"))
    np.testing.assert_array_equal(out, BASE)
    assert enc.__getstate__() == EMPTY_TABLES


# ---- cell by cell: what a cell is ----------------------------------------------------------

# Every semantic case runs on the four ways a table reaches the scan.
ROADS = {
    "array": lambda a: a,
    "general array": general_array,
    "frame": lambda a: pd.DataFrame(a, dtype=object),
    "general frame": lambda a: general_frame(pd.DataFrame(a, dtype=object)),
}


@pytest.fixture(params=list(ROADS))
def road(request):
    return ROADS[request.param]


def column(cells):
    a = np.empty((len(cells), 1), dtype=object)
    for i, cell in enumerate(cells):
        a[i, 0] = cell
    return a


class Half:
    def __index__(self):
        return 7


class Refuses:
    def __float__(self):
        raise ValueError("no float")

    def __str__(self):
        return "refused"


@pytest.mark.parametrize(
    "cell, value",
    [
        (1.5, 1.5),
        (True, 1.0),
        (-7, -7.0),
        (2**53 + 1, float(2**53 + 1)),
        (2**1000, float(2**1000)),
        (np.int64(-3), -3.0),
        (np.uint64(2**64 - 1), float(2**64 - 1)),
        (np.float32(0.1), float(np.float32(0.1))),
        (np.float16(65504), 65504.0),
        (np.bool_(True), 1.0),
        (Decimal("2.25"), 2.25),
        (Fraction(1, 4), 0.25),
        (Half(), 7.0),
        (Floaty(2.5), 2.5),
    ],
)
def test_numeric_cells(road, cell, value):
    enc = Encoder()
    out = enc.encode(road(column([cell, 0.0])))
    assert np.asarray(out, dtype=float).tolist() == [[value], [0.0]]
    assert enc.__getstate__() == EMPTY_TABLES


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "cell, label",
    [
        ("1.5", "1.5"),
        ("", ""),
        (b"x", "b'x'"),
        (None, "None"),
        (1 + 2j, "(1+2j)"),
        (2**1024, str(2**1024)),
        (Refuses(), "refused"),
        (np.str_("s"), "s"),
        (np.datetime64("2020-01-02"), "2020-01-02"),
        ("a\x00b", "a\x00b"),
        ("\ud800x", "\ufffd\ufffd\ufffdx"),
        ("\U0001f600é", "\U0001f600é"),
    ],
)
def test_text_cells(road, cell, label):
    enc = Encoder()
    enc.encode(road(column([cell])))
    assert fitted_labels(enc) == {0: [label]}


@pytest.mark.parametrize(
    "cells, labels, codes",
    [
        ([1.0, "x", 1.0], ["1", "1.0", "x"], [0, 2, 1]),
        ([np.nan, "x", np.nan], ["NaN", "nan", "x"], [None, 0, None]),
        ([1e20, 1e-7, -0.0, "s", 1e20, 1e-7, -0.0],
         ["-0", "-0.0", "0.0000001", "100000000000000000000", "1e+20", "1e-07", "s"],
         [3, 2, 0, 6, 4, 5, 1]),
        ([np.inf, -np.inf, 2.5, "t", np.inf, 2.5], ["-inf", "2.5", "inf", "t"], [2, 0, 1, 3, 2, 1]),
        # str cells whose text is that of a float cell after the turn: one label
        ([1.5, "x", 2.5, "2.5", np.nan, "nan"], ["1.5", "2.5", "nan", "x"],
         [0, 2, 1, 1, None, None]),
        ([np.float32(0.1), "t"], ["0.10000000149011612", "t"], [0, 1]),
        ([True, 2, "t", True], ["1", "2", "True", "t"], [0, 1, 3, 2]),
        ([pd.NA, None, "a"], ["<NA>", "None", "a"], [None, 0, 1]),
    ],
)
def test_column_turns_text_at_its_first_non_number(road, cells, labels, codes):
    enc = Encoder()
    out = enc.encode(road(column(cells)))
    assert fitted_labels(enc) == {0: labels}
    got = [None if np.isnan(v) else int(v) for v in np.asarray(out, dtype=float)[:, 0]]
    assert got == codes


# The float cells of a text column are turned into text without a str() call: the text must
# still be what str() gives, for every kind of value.
FLOATS = [0.1, 1 / 3, 2.0 ** 60, 1e16, 1e-5, 5e-324, 1.7976931348623157e308, -2.5, 1234567.0,
          0.000123, 1e22, 123456789012345680.0, float("inf"), float("-inf")]


def test_float_cells_of_a_text_column_read_as_str_gives_them(road):
    rng = np.random.default_rng(3)
    values = FLOATS + list(rng.normal(scale=1e6, size=50)) + list(rng.uniform(-1, 1, 50) ** 9)
    enc = Encoder()
    enc.encode(road(column(["t"] + [float(v) for v in values])))
    assert fitted_labels(enc) == {0: sorted({"t"} | {str(float(v)) for v in values})}


def test_two_columns_of_mixed_cells(road):
    enc = Encoder()
    out = enc.encode(road(np.array([["a", 1.0], ["b", None]], dtype=object)))
    np.testing.assert_array_equal(np.asarray(out, dtype=float), [[0.0, 0.0], [1.0, 1.0]])
    assert fitted_labels(enc) == {0: ["a", "b"], 1: ["1", "None"]}
    assert read_tables(enc.__getstate__())[0] == [0, 1]


@pytest.mark.parametrize("dtype", [np.int64, np.int8, np.uint32, bool, np.float32, np.float16])
def test_numeric_arrays_are_read_cell_by_cell_with_empty_tables(road, dtype):
    data = np.array([[1, 0], [0, 1], [1, 1]]).astype(dtype)
    enc = Encoder()
    out = enc.encode(road(data))
    np.testing.assert_array_equal(np.asarray(out, dtype=float), data.astype(float))
    assert enc.__getstate__() == EMPTY_TABLES


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_tables(road, shape):
    enc = Encoder()
    out = enc.encode(road(np.empty(shape, dtype=object)))
    assert np.asarray(out).shape == shape
    assert enc.__getstate__() == EMPTY_TABLES


@pytest.mark.parametrize(
    "dtype, first",
    [("U5", ["a\x00c", "b"]), (object, ["a\x00c", "b", "b\x00\x00"])],
)
def test_string_array(dtype, first):
    # A unicode array gives its text without trailing NULs; a str object keeps them.
    data = np.array([["b\x00\x00", "1.5"], ["a\x00c", ""], ["b", "1.5"]], dtype=dtype)
    enc = Encoder()
    enc.encode(data)
    assert fitted_labels(enc) == {0: first, 1: ["", "1.5"]}


def test_unicode_array_without_rows_has_no_text_column():
    enc = Encoder()
    enc.encode(np.empty((0, 2), dtype="U3"))
    assert enc.__getstate__() == EMPTY_TABLES


def test_frame_of_mixed_dtypes():
    frame = pd.DataFrame({
        "f": [0.5, np.nan, 2.0],
        "i": np.array([1, -2, 3], dtype=np.int16),
        "b": [True, False, True],
        "o": pd.Series(["x", 1, None], dtype=object),
        "s": pd.Series(["p", None, "q"], dtype="string"),
        "h": np.array([1, 2, 3], dtype=np.float16),
    })
    enc = Encoder()
    out = enc.encode(frame)
    assert list(out.columns) == ["f", "i", "b", "o", "s", "h"]
    np.testing.assert_array_equal(out[["f", "i", "b", "h"]].to_numpy(),
                                  frame[["f", "i", "b", "h"]].to_numpy(dtype=float))
    assert fitted_labels(enc) == {3: ["1", "None", "x"], 4: ["<NA>", "p", "q"]}
    np.testing.assert_array_equal(out["s"], [0.0, np.nan, 1.0])


def test_frame_of_float_columns_takes_the_cell_path():
    enc = fitted_encoder()
    out = enc.encode(pd.DataFrame({"a": [1.0, np.nan], "b": [3.0, 4.0]}))
    np.testing.assert_array_equal(out.to_numpy(), [[1.0, 3.0], [np.nan, 4.0]])
    assert enc.__getstate__() == EMPTY_TABLES


def test_decode_reads_text_like_encode_and_keeps_the_tables():
    enc = fitted_encoder()
    state = enc.__getstate__()
    out = enc.decode(np.array([[0.0, "q"], [0.0, "p"]], dtype=object))
    assert out.tolist() == [["keep", 1.0], ["keep", 0.0]]
    assert enc.__getstate__() == state


# ---- cell by cell: failures ----------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float64, object, np.int64, "U2"])
@pytest.mark.parametrize("shape", [(3,), (2, 2, 2), ()])
def test_arrays_that_are_not_two_dimensional_fail(dtype, shape):
    enc = fitted_encoder()
    message = panic_message(lambda: enc.encode(np.zeros(shape, dtype=dtype)))
    assert message == f"ValueError: expected tuple of length 2, but got tuple of length {len(shape)}"
    assert_fit_kept(enc)


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "shape, message",
    [
        ([2, 2], "TypeError: 'list' object cannot be converted to 'tuple'"),
        ((-1, 2), "OverflowError: can't convert negative value to size_t"),
        ((2.0, 2), "TypeError: 'float' object cannot be interpreted as an integer"),
        ((2**64, 1), "OverflowError: Python int too large to convert to C size_t"),
        ((2**32, 2**32), "capacity overflow"),
        ((2**61, 1), "capacity overflow"),
    ],
)
def test_shapes_that_are_refused(shape, message):
    enc = fitted_encoder()
    assert panic_message(lambda: enc.encode(ndarray(shape))) == message
    assert_fit_kept(enc)


def test_shape_integers_may_come_through_index():
    out = Encoder().encode(ndarray((np.int64(1), Half())))
    assert out.shape == (1, 7)


def test_buffer_that_cannot_be_had_is_memory_error():
    enc = fitted_encoder()
    with pytest.raises(MemoryError):
        enc.encode(ndarray((2**29, 2**29)))
    assert_fit_kept(enc)


class NoShape:
    @property
    def shape(self):
        raise RuntimeError("shape is gone")


def test_failed_shape_read_is_an_internal_failure():
    obj = type("ndarray", (NoShape,), {})()
    assert panic_message(lambda: Encoder().encode(obj)) == "RuntimeError: shape is gone"


@pytest.mark.leakcheck
def test_failed_cell_fetch_is_an_internal_failure():
    def cell(r, c):
        if (r, c) == (1, 0):
            raise IndexError("no such cell")
        return "x"

    enc = fitted_encoder()
    assert panic_message(lambda: enc.encode(ndarray((2, 1), cell))) == "IndexError: no such cell"
    assert_fit_kept(enc)


def test_values_that_cannot_be_read_are_an_internal_failure():
    class DataFrame(pd.DataFrame):
        @property
        def values(self):
            raise ValueError("values refused")

    frame = DataFrame({"a": ["x"]})
    assert panic_message(lambda: Encoder().encode(frame)) == "ValueError: values refused"


def test_narrow_values_fail_as_the_fetch_fails():
    class DataFrame(pd.DataFrame):
        @property
        def values(self):
            return np.array([["x"]], dtype=object)

    frame = DataFrame({"a": ["x", "y"], "b": ["z", "w"]})
    assert panic_message(lambda: Encoder().encode(frame)) == (
        "IndexError: index 1 is out of bounds for axis 0 with size 1")


def test_failing_str_is_an_internal_failure(road):
    enc = fitted_encoder()
    message = panic_message(lambda: enc.encode(road(column(["a", BadStr()]))))
    assert message == "cant convert to str: ValueError: cannot show"
    assert_fit_kept(enc)


class Nested:
    """A float conversion that fails with the module's own internal failure."""

    def __float__(self):
        Encoder().encode(np.zeros(3, dtype=object))


def test_internal_failure_of_a_nested_call_is_not_discarded(road, capfd):
    message = panic_message(lambda: Encoder().encode(road(column([1.0, Nested()]))))
    assert message == "ValueError: expected tuple of length 2, but got tuple of length 1"
    assert "PanicException" in capfd.readouterr().err


class Interrupts:
    """Its float conversion simulates SIGINT from C and gives a float, without running any
    Python code: the handler can only run at the scan's own signal check."""

    __float__ = ctypes.PYFUNCTYPE(ctypes.c_double)(("PyErr_SetInterrupt", ctypes.pythonapi))


def test_interrupt_ends_the_scan(road):
    data = column([Interrupts()] + [float(i) for i in range(20000)])
    enc = fitted_encoder()
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            enc.encode(road(data))
    finally:
        signal.signal(signal.SIGINT, previous)
    # The call ended inside the scan: the earlier fit is still in place.
    assert_fit_kept(enc)


class _NoLenNames:
    """A tolist() result that is a sequence without a length."""

    def __getitem__(self, i):
        if i < 2:
            return [7, -3][i]
        raise IndexError(i)


class _NoLenColumns:
    def tolist(self):
        return _NoLenNames()

    def __iter__(self):
        return iter([7, -3])


def test_integer_names_need_no_length():
    class DataFrame:
        columns = _NoLenColumns()
        shape = (1, 2)
        values = np.array([[1.0, "a"]], dtype=object)

    out = Encoder().encode(DataFrame())
    assert list(out.columns) == ["7", "-3"]
