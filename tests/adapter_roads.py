"""The general road of the input adapter, reached on purpose.

The adapter reads an exact numpy.ndarray (or numpy.memmap) and an exact pandas.DataFrame
straight from memory. Classes of the same names that are subclasses take the general road:
one item access per cell. Running one table through both and comparing the fits proves that
the direct reads give what item access gives.
"""

import math

import numpy as np
import pandas as pd

from helpers import is_panic
from quorlin import Encoder
from state_tables import read_tables


class ndarray(np.ndarray):  # noqa: N801 - the adapter accepts arrays by class name
    """An array that only item access can read."""


class DataFrame(pd.DataFrame):
    """A frame whose `values` only item access can read."""

    @property
    def values(self):
        return pd.DataFrame.values.fget(self).view(ndarray)


def general_array(array):
    return array.view(ndarray)


def general_frame(frame):
    return DataFrame(frame)


def _plain(value):
    if isinstance(value, float) and math.isnan(value):
        return ("nan",)
    return (type(value).__name__, value)


def same_cells(a, b):
    if isinstance(a, pd.DataFrame):
        assert list(a.columns) == list(b.columns)
        assert list(a.dtypes) == list(b.dtypes)
        a, b = a.to_numpy(dtype=object), b.to_numpy(dtype=object)
    assert a.dtype == b.dtype and a.shape == b.shape
    assert [[_plain(v) for v in row] for row in a.tolist()] == \
           [[_plain(v) for v in row] for row in b.tolist()]


def fit(data):
    """(encode result, decode of it, tables, state length), or the panic's message."""
    enc = Encoder()
    try:
        codes = enc.encode(data)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if is_panic(exc):
            return ("panic", str(exc))
        raise
    state = enc.__getstate__()
    try:
        decoded = enc.decode(codes)
    except Exception as exc:  # e.g. pandas refusing labels for duplicate column names
        decoded = (type(exc), str(exc))
    return codes, decoded, read_tables(state), len(state)


def assert_same_fit(direct, general):
    """The same table read directly and by item access gives the same fit and output."""
    a, b = fit(direct), fit(general)
    if isinstance(a[0], str) or isinstance(b[0], str):
        assert a == b
        return a
    same_cells(a[0], b[0])
    if isinstance(a[1], tuple) or isinstance(b[1], tuple):
        assert a[1] == b[1]
    else:
        same_cells(a[1], b[1])
    assert a[2] == b[2]
    assert a[3] == b[3]
    return a
