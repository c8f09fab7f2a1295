"""Text columns kept in Arrow memory, read from their buffers, give what item access gives.

An exact DataFrame reads pandas' pyarrow-backed string columns (and ArrowDtype string and
large_string columns) straight from the Arrow buffers; the same frame as a subclass takes the
general road (`values`, one item access per cell). Fits, outputs, decodes and state lengths
must agree.
"""

import os

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from adapter_roads import assert_same_fit, fit, general_frame, same_cells
from helpers import is_panic
from quorlin import Encoder
from state_tables import read_tables

pa = pytest.importorskip("pyarrow", exc_type=ImportError)  # absent, or unusable here

FAST = settings(max_examples=60, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def _arrow_dtypes():
    """The Arrow-backed text dtypes of this pandas, by name."""
    found = {}
    default = pd.Series(["a"], dtype="str").dtype  # object before pandas 3
    if isinstance(default, pd.StringDtype) and default.storage == "pyarrow":
        found["str"] = default
    candidates = {
        "string[pyarrow_numpy]": lambda: "string[pyarrow_numpy]",  # pandas 2's NaN variant
        "string[pyarrow]": lambda: "string[pyarrow]",
        "arrow string": lambda: pd.ArrowDtype(pa.string()),
        "arrow large_string": lambda: pd.ArrowDtype(pa.large_string()),
    }
    for name, make in candidates.items():
        try:
            found[name] = pd.Series(["a", None], dtype=make()).dtype
        except (ImportError, TypeError):
            continue
    return found


DTYPES = _arrow_dtypes()

CASES = {
    "plain": ["a", "b", "a", "c", "b", "a"],
    "nulls first": [None, None, "x", "y", None, "x"],
    "null in the middle": ["x", "y", None, "x", "z", "y"],
    "null last": ["x", "y", "x", "z", "y", None],
    "all null": [None] * 6,
    "empty strings": ["", "a", "", None, "", "b"],
    "non-ASCII": ["é", "日本", "\U0001f600", None, "é", "ä\u0301"],
    "markers as text": ["nan", "NaN", "<NA>", None, "None", "nan"],
    "numeric-looking": ["1", "1.0", "-0", "inf", None, "1e20"],
}


def text(values, dtype):
    return pd.Series(values, dtype=DTYPES[dtype])


def mixed_frame(values, dtype):
    """Arrow text (columns t and u) among numeric and object columns; six rows."""
    return pd.DataFrame({
        "f": np.linspace(-1.5, 2.5, 6),
        "t": text(values, dtype),
        "o": pd.Series([1.0, "o", None, 2, "o", True], dtype=object),
        "i": np.arange(6, dtype=np.int64) - 2,
        "u": text(list(reversed(values)), dtype),
    })


def check_frame(frame):
    assert type(frame) is pd.DataFrame
    return assert_same_fit(frame, general_frame(frame))


def chunk_counts(frame):
    return [frame[c].array.__arrow_array__().num_chunks for c in ("t", "u")]


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("dtype", list(DTYPES))
def test_arrow_text_columns(dtype, case):
    values = CASES[case]
    check_frame(pd.DataFrame({"t": text(values, dtype)}))
    check_frame(mixed_frame(values, dtype))


@pytest.mark.parametrize("second", list(DTYPES))
@pytest.mark.parametrize("first", list(DTYPES))
def test_pairs_of_arrow_dtypes(first, second):
    check_frame(pd.DataFrame({"a": text(CASES["nulls first"], first),
                              "b": text(CASES["null in the middle"], second)}))


@pytest.mark.parametrize("rows", [slice(5, None), slice(3, -2), slice(9, 10), slice(None, None, -1),
                                  slice(13, 13)], ids=["from 5", "3 to -2", "one row", "reversed",
                                                       "empty"])
@pytest.mark.parametrize("dtype", list(DTYPES))
def test_chunked_and_sliced_frames(dtype, rows):
    parts = [mixed_frame(CASES[case], dtype)
             for case in ["nulls first", "non-ASCII", "all null", "markers as text"]]
    frame = pd.concat(parts, ignore_index=True)
    assert min(chunk_counts(frame)) > 1
    check_frame(frame)
    check_frame(frame.iloc[rows])


@pytest.mark.parametrize("arrow_type", ["string", "large_string"])
def test_column_from_chunked_pyarrow_array(arrow_type):
    kind = getattr(pa, arrow_type)()
    chunked = pa.chunked_array([pa.array(["x", None, "é"], kind), pa.array([], kind),
                                pa.array([None, "", "x"], kind).slice(1),
                                pa.array(["y", "x", None, "z"], kind).slice(1, 2)], kind)
    frame = pd.DataFrame({"t": pd.Series(pd.arrays.ArrowExtensionArray(chunked)),
                          "f": np.arange(7, dtype=np.float64)})
    assert frame["t"].array.__arrow_array__().num_chunks == 4
    check_frame(frame)


def _refuse_conversion(monkeypatch, array):
    def refused(*args, **kwargs):
        raise AssertionError("converted through pandas")

    for cls in type(array).__mro__:
        for name in ("to_numpy", "__array__"):
            if name in cls.__dict__:
                monkeypatch.setattr(cls, name, refused)


@pytest.mark.parametrize("dtype", list(DTYPES))
def test_arrow_columns_are_read_without_a_str_per_cell(monkeypatch, dtype):
    frame = pd.concat([mixed_frame(CASES["nulls first"], dtype),
                       mixed_frame(CASES["non-ASCII"], dtype)], ignore_index=True).iloc[1:]
    expected = fit(general_frame(frame))
    enc = Encoder()
    _refuse_conversion(monkeypatch, frame["t"].array)
    codes = enc.encode(frame)
    monkeypatch.undo()
    state = enc.__getstate__()
    same_cells(codes, expected[0])
    assert (read_tables(state), len(state)) == expected[2:]


def _from_buffers(kind, offsets, data, validity=None):
    width = np.int32 if kind == pa.string() else np.int64
    return pa.Array.from_buffers(
        kind, len(offsets) - 1,
        [None if validity is None else pa.py_buffer(np.packbits(validity, bitorder="little")),
         pa.py_buffer(np.array(offsets, dtype=width).tobytes()), pa.py_buffer(data)])


@pytest.mark.parametrize("arrow_type", ["string", "large_string"])
@pytest.mark.parametrize("content", [
    pytest.param(([0, 1, 3, 4], b"a\xc3\xa9b", None), id="valid"),
    pytest.param(([0, 1, 2, 3], b"a\xffb", None), id="invalid byte"),
    pytest.param(([0, 1, 2, 4], b"a\xc3\xa9b", None), id="character split over two values"),
    pytest.param(([0, 1, 4, 5], b"a\xed\xa0\x80b", None), id="surrogate"),
    pytest.param(([0, 1, 3, 4], b"a\xff\xfeb", [1, 0, 1]), id="garbage under a null"),
])
def test_buffers_that_are_not_text(arrow_type, content):
    offsets, data, validity = content
    array = _from_buffers(getattr(pa, arrow_type)(), offsets, data, validity)
    frame = pd.DataFrame({"t": pd.Series(pd.arrays.ArrowExtensionArray(pa.chunked_array([array]))),
                          "f": [1.0, 2.0, 3.0]})
    check_frame(frame)


# Values are checked for UTF-8 as they are read, by distinct label, so one bad value far into a
# long column, read in blocks or in parts of its labels, must still send the frame to pandas.
@pytest.mark.parametrize("labels", [7, 60_000], ids=["blocks", "parts"])
def test_long_column_with_a_value_that_is_not_text(labels):
    values = [f"v{i % labels}".encode() for i in range(140_000)]
    values[100_003] = b"v\xff"
    offsets = np.cumsum([0] + [len(v) for v in values]).tolist()
    array = _from_buffers(pa.string(), offsets, b"".join(values), None)
    check_frame(pd.DataFrame({"t": pd.Series(pd.arrays.ArrowExtensionArray(
        pa.chunked_array([array])))}))


def spoiled_column(labels, bad):
    """A 140,000-row Arrow string column of `labels` labels whose offsets are spoiled from row
    100,602 on: pyarrow checks offsets when it builds the array, so they are spoiled after, in
    place."""
    values = [f"v{i % labels}".encode() for i in range(140_000)]
    offsets = np.cumsum([0] + [len(v) for v in values]).astype(np.int32)
    array = pd.arrays.ArrowExtensionArray(pa.chunked_array([pa.Array.from_buffers(
        pa.string(), len(values), [None, pa.py_buffer(offsets), pa.py_buffer(b"".join(values))])]))
    if bad == "past the data":
        offsets[100_603:] += 1 << 20
    elif bad == "descending":
        offsets[100_603] = offsets[100_602] - 1
    else:
        offsets[100_603] = -5
    return array


def assert_left_to_pandas(monkeypatch, array, beside=()):
    """Encoding a frame of `array` (column "t") and the columns `beside` reads nothing of the
    array and leaves it to pandas, whose conversion is refused."""
    _refuse_conversion(monkeypatch, array)
    with pytest.raises(BaseException, match="converted through pandas") as info:  # noqa: B017
        Encoder().encode(pd.DataFrame({"t": pd.Series(array), **dict(beside)}))
    assert is_panic(info.value)


# Offsets are checked as each value is read: offsets that leave the data buffer or descend, far
# into a column read in blocks or in parts, send the frame to pandas before a byte is read. Row
# 100,602 is also one that the sample of a column's labels reads.
@pytest.mark.parametrize("labels", [7, 60_000], ids=["blocks", "parts"])
@pytest.mark.parametrize("bad", ["past the data", "descending", "negative"])
def test_offsets_outside_the_data_leave_the_column_to_pandas(monkeypatch, labels, bad):
    assert_left_to_pandas(monkeypatch, spoiled_column(labels, bad))


def test_string_view_column_is_read_through_values():
    frame = pd.DataFrame({"t": pd.Series(["a", "b", "a"], dtype=pd.ArrowDtype(pa.string_view())),
                          "f": [1.0, 2.0, 3.0]})
    check_frame(frame)


# Long enough to pass the dedupe window, and to be read on the workers in blocks of rows (few
# labels) or in parts of the labels (many labels, judged from a sample), also when its first row
# is missing; a column that may stay numbers (NaN missing values only) is read whole.
def long_labels(pattern, rows):
    if pattern in ("few labels", "first row missing"):
        labels = [f"label-{i % 7}" for i in range(rows)]
    elif pattern == "all distinct":
        labels = [f"label-{i}" for i in range(rows)]
    elif pattern == "many labels, markers as text":
        # Missing values and the same markers as text must share one entry; missing values
        # before the first value, numbers until then for a NaN dtype, are a label of their own.
        labels = [["nan", "<NA>", None][i % 3] if i % 1_000 == 7 else f"many-{i % 60_000}"
                  for i in range(rows)]
        labels[:3] = [None] * 3
    else:
        labels = [f"a-much-longer-label-number-{i % 66_000}" for i in range(rows)]
    labels[100] = None
    labels[-1] = None
    if pattern == "first row missing":
        labels[:37] = [None] * 37  # runs of missing values, then one up to the first value
    if pattern == "all missing":
        labels = [None] * rows
    return labels


@pytest.mark.parametrize("pattern, dtype", [
    *((p, next(iter(DTYPES))) for p in ["few labels", "all distinct", "distinct, then repeated",
                                        "first row missing"]),
    *(("many labels, markers as text", d) for d in DTYPES),
    *(("all missing", d) for d in DTYPES)])
def test_columns_longer_than_the_dedupe_window(pattern, dtype):
    labels = long_labels(pattern, 140_000)
    frame = pd.DataFrame({"t": text(labels, dtype)})
    result = check_frame(frame)
    coded = set(labels) - {None, "nan", "NaN", "<NA>"}  # markers get no code
    assert len(result[2][2].get(0, {})) == len(coded)


def test_long_chunked_columns_read_side_by_side():
    # Blocks and parts of two columns at once, over chunks that start inside blocks.
    dtype = next(iter(DTYPES))
    frame = pd.DataFrame({"few": text(long_labels("few labels", 150_000), dtype),
                          "many": text(long_labels("distinct, then repeated", 150_000), dtype)})
    frame = pd.concat([frame.iloc[:70_001], frame.iloc[70_001:], frame.iloc[:3]],
                      ignore_index=True).iloc[1:]
    assert min(chunk_counts(frame.rename(columns={"few": "t", "many": "u"}))) > 1
    check_frame(frame)


# On two workers, beside three columns of few labels, a column of many labels is read whole by
# one worker, which deduplicates to the end, also where a reader of blocks would stop (66,000
# labels, nearly all distinct at first), and offsets spoiled far into it (distinct labels) still
# send the frame to pandas. The pool's size is fixed per process, hence the child.
ONE_PART_CHILD = r"""
import sys
sys.path.insert(0, TESTS)
import pandas as pd
import pytest
from test_adapter_arrow_strings import (DTYPES, assert_left_to_pandas, check_frame, spoiled_column,
                                        text)

rows = 140_000
dtype = next(iter(DTYPES))
few = {f"few{i}": text([f"few-{r % 7}" for r in range(rows)], dtype) for i in range(3)}
for labels in (30_000, 66_000):
    many = [None if r % 997 == 5 else f"a-label-of-many-{r % labels}" for r in range(rows)]
    check_frame(pd.DataFrame({"many": text(many, dtype), **few}))
with pytest.MonkeyPatch.context() as patch:
    assert_left_to_pandas(patch, spoiled_column(rows, "negative"), few)
print("ok")
"""


def test_column_of_many_labels_read_in_one_part(python_child):
    code = ONE_PART_CHILD.replace("TESTS", repr(os.path.dirname(os.path.abspath(__file__))), 1)
    proc = python_child(code, env={"RAYON_NUM_THREADS": "2"})
    assert proc.stdout.splitlines()[-1] == "ok"


def test_long_frame_of_every_column_kind():
    # Numbers are copied in blocks of rows on the worker pool, Arrow text by column beside them,
    # object cells afterwards: several blocks, and a text column that turns text late.
    rows = 10_000
    rng = np.random.default_rng(3)
    late = [None] * rows
    late[9_000:] = [f"v{i % 13}" for i in range(rows - 9_000)]
    frame = pd.DataFrame({
        "f16": rng.normal(size=rows).astype(np.float16),
        "t": text([f"w{i % 101}" if i % 17 else None for i in range(rows)], next(iter(DTYPES))),
        "i8": rng.integers(-128, 128, rows).astype(np.int8),
        "o": pd.Series([i if i % 3 else f"o{i % 5}" for i in range(rows)], dtype=object),
        "u64": rng.integers(0, 2**64 - 1, rows, dtype=np.uint64, endpoint=True),
        "late": text(late, next(iter(DTYPES))),
        "b": rng.random(rows) < 0.5,
        "f32": rng.normal(size=rows).astype(np.float32),
        "na": text(late, "string[pyarrow]"),
    })
    check_frame(frame)


@pytest.mark.parametrize("dtype", list(DTYPES))
def test_decode_of_a_frame_with_text(dtype):
    fitted = pd.DataFrame({"f": [0.5, 1.5, 2.5], "t": text(["b", "a", None], dtype),
                           "o": ["x", "y", "x"]})
    frame = mixed_frame(CASES["markers as text"], dtype)[["f", "t", "o"]]
    enc = Encoder()
    enc.encode(fitted)

    def decode(data):
        try:
            return enc.decode(data)
        except Exception as exc:  # a code that the fitted tables do not hold
            return (type(exc), str(exc))

    direct, general = decode(frame), decode(general_frame(frame))
    if isinstance(direct, tuple) or isinstance(general, tuple):
        assert direct == general
    else:
        same_cells(direct, general)


@pytest.mark.leakcheck
@pytest.mark.parametrize("dtype", [next(iter(DTYPES)), "arrow string"])  # NaN and NA variants
def test_arrow_reads_leave_nothing_behind(dtype):
    frame = pd.concat([mixed_frame(CASES["nulls first"], dtype)] * 2, ignore_index=True)
    check_frame(frame.iloc[3:])


CELLS = st.one_of(st.none(), st.text(max_size=4),
                  st.sampled_from(["nan", "NaN", "<NA>", "a", "b", "é"]))


@FAST
@given(st.lists(st.tuples(st.sampled_from(list(DTYPES)), st.lists(CELLS, min_size=1, max_size=12)),
                min_size=1, max_size=3),
       st.lists(st.integers(1, 5), max_size=3), st.integers(0, 3), st.integers(0, 3))
def test_generated_arrow_frames(columns, cuts, start, stop):
    rows = min(len(cells) for _, cells in columns)
    frame = pd.DataFrame({f"c{i}": text(cells[:rows], dtype)
                          for i, (dtype, cells) in enumerate(columns)})
    frame["n"] = np.arange(rows, dtype=np.float32)
    # Cut into chunks by concatenating pieces of the frame, then slice.
    bounds = sorted({min(c, rows) for c in cuts} | {0, rows})
    frame = pd.concat([frame.iloc[a:b] for a, b in zip(bounds, bounds[1:])], ignore_index=True)
    check_frame(frame.iloc[start:rows - stop])
