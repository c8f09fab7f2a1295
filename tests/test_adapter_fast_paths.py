"""Direct reads of exact NumPy arrays and pandas DataFrames give what item access gives.

Each table runs once through the fast path and once, as a subclass of the same class name,
through the general road; fits, outputs, decodes and state lengths must agree.
"""

import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from adapter_roads import assert_same_fit, general_array, general_frame
from cells import BadStr
from state_tables import fitted_labels
from quorlin import Encoder

FAST = settings(max_examples=60, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

I64 = np.iinfo(np.int64)
U64 = np.iinfo(np.uint64)


class Num:
    def __float__(self):
        return 4.5


class Idx:
    def __index__(self):
        return 9


class Shown:
    def __str__(self):
        return "shown"


def objects(rows):
    return [
        [1.0, "a", 2**70, None],
        ["b", np.nan, True, pd.NA],
        [np.float32(0.1), "a", -0.0, Num()],
        [Idx(), 1e20, "", Shown()],
        [2**1024, b"by", 1 + 1j, "\ud800"],
        ["a", -np.inf, np.int64(-5), "nan"],
    ][:rows]


ARRAYS = {
    "object": lambda: np.array(objects(6), dtype=object),
    "object numbers": lambda: np.array([[1, 2.5], [True, np.uint8(3)], [Num(), Idx()]],
                                       dtype=object),
    "object text only": lambda: np.array([["x", "y"], ["x", "\U0001f600"], ["é", "y"]],
                                         dtype=object),
    "unicode": lambda: np.array([["b\x00\x00", "1.5", "\U0001f600"], ["a\x00c", "", "\ud800z"],
                                 ["nan", "<NA>", "NaN"]], dtype="U4"),
    "int8": lambda: np.array([[-128, 127], [0, -1]], dtype=np.int8),
    "int16": lambda: np.array([[-32768, 32767], [0, -1]], dtype=np.int16),
    "int32": lambda: np.array([[-(2**31), 2**31 - 1], [0, -1]], dtype=np.int32),
    "int64": lambda: np.array([[I64.min, I64.max], [2**53 + 1, -1]], dtype=np.int64),
    "uint8": lambda: np.array([[0, 255], [1, 2]], dtype=np.uint8),
    "uint16": lambda: np.array([[0, 65535], [1, 2]], dtype=np.uint16),
    "uint32": lambda: np.array([[0, 2**32 - 1], [1, 2]], dtype=np.uint32),
    "uint64": lambda: np.array([[0, U64.max], [2**63 + 1, 2**64 - 2**11 - 1]], dtype=np.uint64),
    "longlong": lambda: np.array([[1, -2], [3, I64.max]], dtype=np.longlong),
    "bool": lambda: np.array([[True, False], [False, True]]),
    "bool from bytes": lambda: np.array([[0, 2], [255, 1]], dtype=np.uint8).view(np.bool_),
    "float16": lambda: np.array([[65504, 2**-24], [np.inf, -np.nan], [-0.0, 2**-14 * 0.5]],
                                dtype=np.float16),
    "float16 nan payload": lambda: np.array([[0x7E01, 0xFC01]], dtype=np.uint16).view(np.float16),
    "float32": lambda: np.array([[0.1, np.nan], [-np.inf, 1e-45], [3.4e38, -0.0]],
                                dtype=np.float32),
    # Item access for every dtype below: both roads are the general one, and still agree.
    "float64 big-endian": lambda: np.array([[1.5, -2.0], [np.nan, 0.0]], dtype=">f8"),
    "int32 big-endian": lambda: np.array([[1, -2], [3, 4]], dtype=">i4"),
    "unicode big-endian": lambda: np.array([["ab", "c"], ["", "é"]], dtype=">U2"),
    "complex": lambda: np.array([[1 + 2j, 0], [3, -1j]]),
    "bytes": lambda: np.array([[b"ab", b"c"], [b"", b"1.5"]]),
    "datetime": lambda: np.array([["2020-01-01", "NaT"], ["1999-12-31", "2000-02-29"]],
                                 dtype="datetime64[D]"),
    "timedelta": lambda: np.array([[1, 2], [3, -4]], dtype="timedelta64[s]"),
    "longdouble": lambda: np.array([[1.5, 2.25], [-3.0, 1e300]], dtype=np.longdouble),
    "void": lambda: np.zeros((2, 2), dtype="V3"),
}

LAYOUTS = {
    "C": lambda a: a,
    "F": np.asfortranarray,
    "reversed": lambda a: a[::-1, ::-1],
    "strided": lambda a: np.concatenate([a, a], axis=1)[:, ::2],
    "transposed": lambda a: a.T,
}


@pytest.mark.filterwarnings("ignore:Casting complex values to real")  # NumPy's complex __float__
@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("kind", list(ARRAYS))
def test_array_dtypes_and_layouts(kind, layout):
    data = LAYOUTS[layout](ARRAYS[kind]())
    assert type(data) is np.ndarray
    assert_same_fit(data, general_array(data))


@pytest.mark.leakcheck
@pytest.mark.parametrize("kind", ["object", "object text only", "unicode", "float16", "bytes"])
def test_direct_reads_leave_nothing_behind(kind):
    data = ARRAYS[kind]()
    assert_same_fit(data, general_array(data))


@pytest.mark.parametrize("kind", ["unicode", "int64", "uint8", "bool", "float16", "float32"])
def test_memmap(tmp_path, kind):
    source = ARRAYS[kind]()
    mm = np.memmap(tmp_path / "m.dat", dtype=source.dtype, mode="w+", shape=source.shape)
    mm[:] = source
    assert type(mm) is np.memmap
    assert_same_fit(mm, general_array(np.asarray(mm)))


def test_unicode_cell_beyond_unicode_range_reads_as_item_access_gives_it():
    data = np.array([[0x61, 0x110000], [0x62, 0]], dtype=np.uint32).view("U2")
    assert_same_fit(data, general_array(data))


# ---- frames --------------------------------------------------------------------------------

ROWS = 6
COLUMNS = {
    "float64": lambda: pd.Series([0.5, np.nan, -0.0, np.inf, 1e20, 3.0]),
    "float32": lambda: pd.Series(np.array([0.1, np.nan, 1, 2, 3, -4], dtype=np.float32)),
    "float16": lambda: pd.Series(np.array([0.1, np.nan, 1, 2, 65504, 2**-24], dtype=np.float16)),
    "int8": lambda: pd.Series(np.array([-128, 127, 0, 1, 2, 3], dtype=np.int8)),
    "int64": lambda: pd.Series(np.array([I64.min, I64.max, 2**53 + 1, 0, -1, 5], dtype=np.int64)),
    "uint64": lambda: pd.Series(np.array([U64.max, 2**63 + 1, 0, 1, 2, 3], dtype=np.uint64)),
    "bool": lambda: pd.Series([True, False, True, True, False, False]),
    "object text": lambda: pd.Series(["x", None, "y", np.nan, pd.NA, "x"], dtype=object),
    "object mixed": lambda: pd.Series([1.0, 2, "x", None, True, Shown()], dtype=object),
    "object numbers": lambda: pd.Series([1.0, 2, True, Num(), Idx(), np.float32(0.5)],
                                        dtype=object),
    "str": lambda: pd.Series(["a", None, "b", "a", "\U0001f600", ""], dtype="str"),
    "string": lambda: pd.Series(["a", None, "b", "a", "é", ""], dtype="string"),
    "str missing first": lambda: pd.Series([None, None, "b", "a", "a", "c"], dtype="str"),
    # Read through `values` on both roads.
    "category": lambda: pd.Series(["p", "q", None, "p", "q", "r"], dtype="category"),
    "Int64": lambda: pd.Series([1, None, 3, 4, 5, 6], dtype="Int64"),
    "datetime": lambda: pd.Series(pd.to_datetime(["2020-01-01", None] * 3)),
}


def _string_storages():
    """pandas string dtypes of this installation beyond the default ones."""
    found = {}
    for name in ["string[pyarrow]", "string[pyarrow_numpy]"]:
        try:
            pd.Series(["a"], dtype=name)
        except (ImportError, TypeError):
            continue
        found[name] = lambda name=name: pd.Series(["a", None, "b", "a", "é", ""], dtype=name)
    return found


COLUMNS.update(_string_storages())


def frame_of(kinds):
    return pd.DataFrame({f"c{i}": COLUMNS[k]() for i, k in enumerate(kinds)})


def check_frame(frame):
    assert type(frame) is pd.DataFrame
    return assert_same_fit(frame, general_frame(frame))


@pytest.mark.parametrize("second", list(COLUMNS))
@pytest.mark.parametrize("first", list(COLUMNS))
def test_frame_column_pairs(first, second):
    check_frame(frame_of([first, second]))


@pytest.mark.leakcheck
@pytest.mark.parametrize("kind", list(COLUMNS))
def test_frame_single_column(kind):
    check_frame(frame_of([kind]))


@pytest.mark.parametrize("dtype", [object, np.float32, np.int16, "str"])
def test_frame_of_one_block(dtype):
    # A frame built from one 2-D array keeps its columns in one block.
    data = np.arange(12).reshape(4, 3).astype(str if dtype == "str" else float)
    check_frame(pd.DataFrame(data, columns=list("abc")).astype(dtype))


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_frames(shape):
    frame = pd.DataFrame(np.zeros(shape), columns=[str(i) for i in range(shape[1])])
    check_frame(frame)
    check_frame(frame.astype(object))


def test_frame_with_duplicate_names():
    frame = pd.concat([frame_of(["object text"]), frame_of(["int8"])], axis=1)
    frame.columns = ["a", "a"]
    check_frame(frame)


def test_frame_sliced_from_another():
    frame = frame_of(["object mixed", "int64", "str", "float32"]).iloc[::-2, [3, 0, 2]]
    check_frame(frame)


# ---- same str objects ----------------------------------------------------------------------


def test_shared_and_distinct_equal_strings():
    pool = [f"label{i}" for i in range(5)]
    copies = ["".join(["label", str(i)]) for i in range(5)]  # equal text, other objects
    cells = [pool[i % 5] if i % 3 else copies[i % 5] for i in range(3000)]
    data = np.array(cells, dtype=object).reshape(-1, 2)
    result = assert_same_fit(data, general_array(data))
    assert result[2][1] == {0: {f"label{i}": i for i in range(5)},
                            1: {f"label{i}": i for i in range(5)}}


def _with_floats(i):
    # numbers before the first str, and floats (one whose text is also a str's) on both sides
    # of the point where the str cache gives up
    if i < 3:
        return [2.5, np.nan, 1.0][i]
    if i % 7919 == 0:
        return [np.nan, 2.5, 7.0][i % 3]
    return "2.5" if i == 90001 else f"v{i % 50000}"


SHARED = [f"s{k}" for k in range(40)]


def _of_every_width(i):
    # Non-ASCII strs of each width, each cell an object of its own, read by their code units
    # once the str cache gives up; lone surrogates share a label with the U+FFFD they become.
    k = i % 3000
    return ["".join(["\xe9", str(k)]), "".join(["\u0100", str(k)]),
            "".join(["\U0001f600", str(k)]), "".join(["\ud800", str(k % 7)]),
            "".join(["\ufffd\ufffd\ufffd", str(k % 5)]), f"v{k}"][i % 6]


@pytest.mark.parametrize("cell, rows", [
    (lambda i: f"v{i % 50000}" if i < 100000 else "v0", 100100),
    (_with_floats, 100100),
    (_of_every_width, 100100),
    # nearly every label new, past the point where looking them up by code units stops
    (lambda i: "".join(["\u0100\xe9" if i % 2 else "\U0001f600", str(i % 190000)]), 200100),
    # few labels in many rows, read in parts on the workers: cells of their own and floats (one
    # whose text is also a str's) in every part, and shared str objects
    (lambda i: [2.5, np.nan][i % 2] if i % 9973 == 7 else "".join(["w", str(i % 40 / 2)]),
     140000),
    (lambda i: SHARED[i % 40] if i % 50000 != 1 else 1.5, 140000),
    # None (the label "None", as a str "None" is) among strs filed by text, after a str "None",
    # and among shared strs read in parts
    (lambda i: None if i % 997 == 500 else "None" if i % 1009 == 5 else f"v{i % 50000}", 100100),
    (lambda i: None if i % 7919 == 11 else SHARED[i % 40], 140000),
], ids=["strs", "with floats", "every width", "distinct non-ASCII", "parts", "parts shared",
        "with None", "parts with None"])
def test_mostly_distinct_strings_past_the_cache_window(cell, rows):
    cells = [cell(i) for i in range(rows)]
    data = np.array(cells, dtype=object).reshape(-1, 1)
    assert_same_fit(data, general_array(data))
    frame = pd.DataFrame({"s": pd.Series(cells, dtype=object)})
    check_frame(frame)


OLD = 3000


class Rewrites:
    """Its str() frees the strs of the rows above it (already read) and fills the rows below
    with new strs, which the allocator may place at the freed addresses."""

    def __init__(self, array):
        self.array = array

    def __str__(self):
        self.array[:OLD, 0] = None
        for r in range(OLD + 1, self.array.shape[0]):
            self.array[r, 0] = "".join(["new", str(r)])
        return "rewrites"


def rewritten_table():
    data = np.empty((2 * OLD + 1, 1), dtype=object)
    for r in range(OLD):
        data[r, 0] = "".join(["old", str(r)])  # each held by the array alone
    data[OLD, 0] = Rewrites(data)
    return data


def test_strs_freed_during_the_scan():
    # An entry cache keyed by address must keep its keys alive, or a new str at a freed
    # address would get the old str's label.
    enc = Encoder()
    enc.encode(rewritten_table())
    expected = {f"old{r}" for r in range(OLD)} | {f"new{r}" for r in range(OLD + 1, 2 * OLD + 1)}
    assert fitted_labels(enc) == {0: sorted(expected | {"rewrites"})}
    assert_same_fit(rewritten_table(), general_array(rewritten_table()))


@pytest.mark.parametrize("tail", [[], [BadStr()]], ids=["done", "failed"])
@pytest.mark.parametrize("kind", ["array", "frame", "general array"])
def test_every_cell_reference_is_released(kind, tail):
    shared = "".join(["sha", "red"])
    data = np.empty((201 + len(tail), 1), dtype=object)
    data[:200, 0] = shared
    data[200, 0] = 1.5
    for i, cell in enumerate(tail):
        data[201 + i, 0] = cell
    table = {"array": data, "frame": pd.DataFrame(data), "general array": general_array(data)}[kind]
    before = sys.getrefcount(shared)
    try:
        Encoder().encode(table)
    except BaseException as exc:  # noqa: B036
        assert tail and str(exc) == "cant convert to str: ValueError: cannot show"
    assert sys.getrefcount(shared) == before


# ---- generated tables ----------------------------------------------------------------------

CELLS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(2**1100), max_value=2**1100),
    st.booleans(),
    st.text(max_size=6),
    st.sampled_from(["nan", "NaN", "<NA>", "a", "b", None, pd.NA, b"x", 1j, np.float32(0.25),
                     np.int64(-3), np.float16(1.5)]),
)


@FAST
@given(st.integers(0, 5).flatmap(
    lambda cols: st.lists(st.lists(CELLS, min_size=cols, max_size=cols), max_size=8)
    .map(lambda rows: (rows, cols))))
def test_generated_object_tables(rows_cols):
    rows, cols = rows_cols
    data = np.empty((len(rows), cols), dtype=object)
    for r, row in enumerate(rows):
        for c, cell in enumerate(row):
            data[r, c] = cell
    assert_same_fit(data, general_array(data))
    try:
        frame = pd.DataFrame(data)  # columns of inferred dtypes
    except OverflowError:  # pandas 2 infers numbers from huge ints, and fails
        frame = pd.DataFrame(data, dtype=object)
    check_frame(frame)


@FAST
@given(hnp.arrays(st.sampled_from(["i1", "u2", "i8", "u8", "f2", "f4", "?", "U3"]),
                  hnp.array_shapes(min_dims=2, max_dims=2, max_side=6)))
def test_generated_typed_arrays(data):
    assert_same_fit(data, general_array(data))


@FAST
@given(st.lists(st.sampled_from(list(COLUMNS)), max_size=5), st.randoms(use_true_random=False))
def test_generated_frames(kinds, random):
    frame = frame_of(kinds) if kinds else pd.DataFrame(index=range(ROWS))
    order = list(range(ROWS))
    random.shuffle(order)
    check_frame(frame.iloc[order])


def test_pandas_is_not_imported_for_arrays(python_child):
    python_child("""
        import sys
        import numpy as np
        from quorlin import Encoder
        Encoder().encode(np.array([["a", 1]], dtype=object))
        assert "pandas" not in sys.modules
    """)
