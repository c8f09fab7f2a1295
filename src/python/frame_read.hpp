// Fast path of the cell-by-cell path for an object that is exactly pandas.DataFrame: each
// column is read from its own array instead of from `values`, which would box every numeric
// cell of a frame that mixes text and numbers.
#pragma once

#include <cstddef>
#include <optional>

#include "core/numeric_matrix.hpp"
#include "core/table_scan.hpp"
#include "python/array_layout.hpp"
#include "python/ref.hpp"

namespace quorlin {

// Reads every cell of `frame` when it is exactly pandas.DataFrame and every column has a
// NumPy dtype read directly (object, bool, integers, float16/32/64), a pandas string dtype or
// ArrowDtype of string or large_string; each cell comes out as `values` would give it, and
// text kept in Arrow memory is read from its buffers. Otherwise reads nothing, returns false.
// Columns that hold no Python objects (numbers, Arrow text) are read on the worker pool.
bool scan_exact_frame(TableScan& scan, PyObject* frame);

bool is_exact_frame(PyObject* obj);

// The cells of `frame` (rows x cols) where they lie, when it is exactly pandas.DataFrame, every
// column is float64 and the columns sit at one distance from each other in memory (as the
// columns of one pandas block do): a matrix over that memory, whose arrays `held` holds. The
// values are those that scan_exact_frame would copy. Nothing otherwise. Whoever reads the matrix
// after Python code may have run checks held.unchanged() first.
std::optional<NumericMatrix> borrow_float_frame(PyObject* frame, std::size_t rows, std::size_t cols,
                                                HeldArrays& held);

}  // namespace quorlin
