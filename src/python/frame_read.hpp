// Fast path of the cell-by-cell path for an object that is exactly pandas.DataFrame: each
// column is read from its own array instead of from `values`, which would box every numeric
// cell of a frame that mixes text and numbers.
#pragma once

#include "core/table_scan.hpp"
#include "python/ref.hpp"

namespace quorlin {

// Reads every cell of `frame` when it is exactly pandas.DataFrame and every column has a
// NumPy dtype read directly (object, bool, integers, float16/32/64), a pandas string dtype or
// ArrowDtype of string or large_string; each cell comes out as `values` would give it, and
// text kept in Arrow memory is read from its buffers. Otherwise reads nothing, returns false.
// Columns that hold no Python objects (numbers, Arrow text) are read on the worker pool.
bool scan_exact_frame(TableScan& scan, PyObject* frame);

}  // namespace quorlin
