"""Tables that fuzz bytes describe, built on either road of the input adapter.

`describe(fdp)` turns bytes into a plan of plain data; `build(plan, road)` makes the table of
that plan as the exact class (road "exact": numpy.ndarray, numpy.memmap, pandas.DataFrame) or as
a subclass of the same name (road "general"), which the module reads by item access only. Both
tables are built by the same steps, so a strided view is a view on both roads and an array owns
its buffer on both; cells whose own code changes the table change the table of their own road.
"""

import math
import os
import tempfile
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa

warnings.simplefilter("ignore")  # setting .shape, pandas' incompatible-dtype assignments


class ndarray(np.ndarray):  # noqa: N801 - the adapter accepts arrays by class name
    """An array that only item access can read."""


class memmap(np.memmap):  # noqa: N801
    """A memory-mapped array that only item access can read."""


class DataFrame(pd.DataFrame):
    """A frame whose `values` only item access can read."""

    @property
    def values(self):
        return pd.DataFrame.values.fget(self).view(ndarray)


ARRAY_DTYPES = ["O", "O", "O", "U1", "U3", "?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8",
                "f2", "f4", "f8", "S2", "M8[s]", "c8"]
FRAME_KINDS = ["object", "object", "int64", "float64", "bool", "int8", "float32", "str_python",
               "str_pyarrow", "str_pyarrow_nan", "arrow_string", "arrow_large_string",
               "category", "Int64"]
# What a cell's own code does to the table it sits in.
CHANGES = ["none", "shrink", "grow", "reshape", "one_column", "set_cell", "fill", "readonly",
           "frame_set", "frame_add_column", "frame_drop_row"]
# The kinds of plain cells, and of cells that run code.
PLAIN_CELLS = ["str", "str", "int", "float", "special_float", "bool", "none", "big_int",
               "np_float32", "np_int64", "np_str", "np_bool", "bytes", "str_subclass",
               "float_subclass", "pd_na", "surrogate", "empty"]
CODE_CELLS = ["float_value", "float_raises", "float_wrong_type", "str_raises",
              "str_wrong_type", "str_and_float"]
EXCEPTIONS = [TypeError, ValueError, RuntimeError, OverflowError, ZeroDivisionError]
TEXTS = ["x", "y", "é", "日本", "😀", "", "a\x00", "nan", "1.5", "-0", "inf", "True", " "]


def _text(fdp):
    if fdp.ConsumeBool():
        return TEXTS[fdp.ConsumeIntInRange(0, len(TEXTS) - 1)]
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 4))


def _cell(fdp, allow_code):
    kinds = PLAIN_CELLS + (CODE_CELLS if allow_code else [])
    kind = kinds[fdp.ConsumeIntInRange(0, len(kinds) - 1)]
    cell = {"kind": kind, "text": _text(fdp), "int": fdp.ConsumeIntInRange(-3, 3),
            "float": fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else 0.5}
    if kind in CODE_CELLS:
        cell["change"] = CHANGES[fdp.ConsumeIntInRange(0, len(CHANGES) - 1)]
        cell["exc"] = fdp.ConsumeIntInRange(0, len(EXCEPTIONS) - 1)
        cell["at"] = (fdp.ConsumeIntInRange(0, 7), fdp.ConsumeIntInRange(0, 4))
    return cell


def describe(fdp):
    """A plan of plain data: the table's form, its shape and layout, and its cells."""
    form = ["array", "array", "frame", "memmap"][fdp.ConsumeIntInRange(0, 3)]
    rows, cols = fdp.ConsumeIntInRange(0, 6), fdp.ConsumeIntInRange(0, 4)
    plan = {"form": form, "rows": rows, "cols": cols}
    if form in ("array", "memmap"):
        dtype = ARRAY_DTYPES[fdp.ConsumeIntInRange(0, len(ARRAY_DTYPES) - 1)]
        if form == "memmap" and dtype == "O":
            dtype = "U2"
        plan.update(dtype=dtype, swapped=fdp.ConsumeBool(), fortran=fdp.ConsumeBool(),
                    step=(fdp.ConsumeIntInRange(1, 2), fdp.ConsumeIntInRange(1, 2)),
                    reverse=(fdp.ConsumeBool(), fdp.ConsumeBool()),
                    transpose=fdp.ConsumeBool(), raw_code_points=fdp.ConsumeBool())
        plan["cells"] = [[_cell(fdp, dtype == "O") for _ in range(cols)] for _ in range(rows)]
        plan["code_points"] = [fdp.ConsumeIntInRange(0, 0x110010) for _ in range(rows * cols)]
    else:
        plan["kinds"] = [FRAME_KINDS[fdp.ConsumeIntInRange(0, len(FRAME_KINDS) - 1)]
                         for _ in range(cols)]
        plan["int_names"] = fdp.ConsumeBool()
        plan["cells"] = [[_cell(fdp, plan["kinds"][c] == "object") for c in range(cols)]
                         for _ in range(rows)]
    return plan


class _Box:
    """The table that a cell's code changes, set once the table is built."""

    table = None


def _change(box, cell):
    table, change = box.table, cell["change"]
    r, c = cell["at"]
    if change == "none" or table is None:
        return
    if isinstance(table, pd.DataFrame):
        rows, cols = table.shape
        if change == "frame_set" and rows and cols:
            table.iloc[r % rows, c % cols] = cell["text"]
        elif change == "frame_add_column":
            table["added"] = cell["float"]
        elif change == "frame_drop_row" and rows:
            table.drop(index=table.index[r % rows], inplace=True)
        elif change == "fill" and cols:
            table.iloc[:, c % cols] = cell["text"]
        return
    if change == "shrink":
        table.resize((1, 1), refcheck=False)
    elif change == "grow":
        table.resize((table.shape[0] + 3, max(table.shape[1], 1) + 1), refcheck=False)
    elif change == "reshape" and table.ndim == 2:
        table.shape = (table.shape[1], table.shape[0])
    elif change == "one_column":
        table.shape = (table.size, 1)
    elif change == "set_cell" and table.size:
        table[r % table.shape[0], c % table.shape[1]] = cell["text"]
    elif change == "fill":
        table[...] = cell["text"]
    elif change == "readonly":
        table.setflags(write=False)


def _code_cell(box, cell):
    exc = EXCEPTIONS[cell["exc"]]
    kind = cell["kind"]

    class Cell:
        def __float__(self):
            _change(box, cell)
            if kind == "float_value":
                return cell["float"]
            if kind == "float_wrong_type":
                return cell["text"]
            if kind == "str_and_float":
                return cell["float"]
            raise exc(cell["text"])

        def __str__(self):
            if kind in ("str_raises", "str_wrong_type", "str_and_float"):
                _change(box, cell)
            if kind == "str_raises":
                raise exc(cell["text"])
            if kind == "str_wrong_type":
                return cell["int"]
            return "cell" + cell["text"]

        __repr__ = __str__

    if kind in ("str_raises", "str_wrong_type"):
        del Cell.__float__
    return Cell()


class _Str(str):
    pass


class _Float(float):
    pass


def make_cell(box, cell):
    kind, text = cell["kind"], cell["text"]
    if kind in CODE_CELLS:
        return _code_cell(box, cell)
    return {
        "str": lambda: text,
        "int": lambda: cell["int"],
        "float": lambda: cell["float"],
        "special_float": lambda: [math.nan, math.inf, -math.inf, -0.0, 1e308, 5e-324,
                                  2.0**53 + 1, 0.1][cell["int"] % 8],
        "bool": lambda: cell["int"] > 0,
        "none": lambda: None,
        "big_int": lambda: 10**(20 + cell["int"] * 120) * (-1) ** cell["int"],
        "np_float32": lambda: np.float32(cell["float"]),
        "np_int64": lambda: np.int64(cell["int"]),
        "np_str": lambda: np.str_(text),
        "np_bool": lambda: np.bool_(cell["int"] > 0),
        "bytes": lambda: text.encode("utf-8"),
        "str_subclass": lambda: _Str(text),
        "float_subclass": lambda: _Float(cell["float"]),
        "pd_na": lambda: pd.NA,
        "surrogate": lambda: text + "\ud800",
        "empty": lambda: "",
    }[kind]()


def _typed_value(cell, dtype):
    """A value that an array of `dtype` accepts, from the cell's plain data."""
    kind = np.dtype(dtype).kind
    if kind == "U":
        return cell["text"]
    if kind == "S":
        return cell["text"].encode("utf-8")[:2]
    if kind == "b":
        return cell["int"] > 0
    if kind in "iu":
        return cell["int"] % 100 if kind == "u" else cell["int"]
    if kind == "M":
        return np.datetime64(cell["int"], "s")
    return cell["float"]


_MEMMAP_DIR = tempfile.mkdtemp(prefix="quorlin-fuzz-")


def _array(plan, road, box):
    rows, cols = plan["rows"], plan["cols"]
    dtype = np.dtype(plan["dtype"])
    if plan["swapped"] and dtype.kind not in "O?b":
        dtype = dtype.newbyteorder()
    step, reverse = plan["step"], plan["reverse"]
    # The cells live in a larger block when the view steps over some of them.
    full = (rows * step[0], cols * step[1])
    if plan["transpose"]:
        full = full[::-1]
    order = "F" if plan["fortran"] else "C"
    if plan["form"] == "memmap":
        cls = np.memmap if road == "exact" else memmap
        if full[0] * full[1]:
            # A fresh file each time, gone from the directory once mapped: an earlier table
            # that is still alive keeps its own mapping.
            fd, path = tempfile.mkstemp(dir=_MEMMAP_DIR)
            os.close(fd)
            base = cls(path, dtype=dtype, mode="w+", shape=full, order=order)
            os.unlink(path)
        else:
            base = np.zeros(full, dtype).view(cls)
    else:
        cls = np.ndarray if road == "exact" else ndarray
        base = cls(full, dtype=dtype, order=order)
        base[...] = 0 if dtype.kind != "O" else None
    view = base.T if plan["transpose"] else base
    view = view[::step[0], ::step[1]]
    if reverse[0]:
        view = view[::-1]
    if reverse[1]:
        view = view[:, ::-1]
    for r in range(rows):
        for c in range(cols):
            cell = plan["cells"][r][c]
            view[r, c] = make_cell(box, cell) if dtype.kind == "O" else _typed_value(cell, dtype)
    if dtype.kind == "U" and plan["raw_code_points"] and view.size:
        # Code points that no str holds (surrogates, beyond U+10FFFF), written through the
        # array's own bytes.
        flat = base.reshape(-1, order="A").view(np.uint32)
        if flat.size:
            for i, point in enumerate(plan["code_points"][:flat.size]):
                flat[i] = point if dtype.isnative else int.from_bytes(
                    point.to_bytes(4, "little"), "big")
    return view


def _frame_column(kind, column):
    if kind == "object":
        return pd.Series(column, dtype=object)
    texts = [None if cell["kind"] == "none" else cell["text"] for cell in column]
    if kind == "str_python":
        return pd.Series(texts, dtype=pd.StringDtype("python"))
    if kind == "str_pyarrow":
        return pd.Series(texts, dtype=pd.StringDtype("pyarrow"))
    if kind == "str_pyarrow_nan":
        return pd.Series(texts, dtype=pd.StringDtype("pyarrow", na_value=np.nan))
    if kind == "arrow_string":
        return pd.Series(texts, dtype=pd.ArrowDtype(pa.string()))
    if kind == "arrow_large_string":
        return pd.Series(texts, dtype=pd.ArrowDtype(pa.large_string()))
    if kind == "category":
        return pd.Series(texts, dtype="category")
    if kind == "Int64":
        return pd.Series([None if cell["kind"] == "none" else cell["int"] for cell in column],
                         dtype="Int64")
    return pd.Series([_typed_value(cell, kind) for cell in column], dtype=kind)


def _frame(plan, road, box):
    cls = pd.DataFrame if road == "exact" else DataFrame
    data = {}
    for c, kind in enumerate(plan["kinds"]):
        column = [plan["cells"][r][c] for r in range(plan["rows"])]
        if kind == "object":
            column = [make_cell(box, cell) for cell in column]
        data[c if plan["int_names"] else f"c{c}"] = _frame_column(kind, column)
    if not data:
        return cls(index=range(plan["rows"]))
    return cls(data)


def changes(plan):
    """Whether a cell of the plan has code that changes its table."""
    return any(cell.get("change", "none") != "none" for row in plan["cells"] for cell in row)


def build(plan, road):
    """The table of `plan` on `road` ("exact" or "general")."""
    box = _Box()
    table = _frame(plan, road, box) if plan["form"] == "frame" else _array(plan, road, box)
    box.table = table
    return table
