// Reading NumPy arrays. A two-dimensional float64 array is copied in one piece. An array that is
// exactly numpy.ndarray or numpy.memmap has its cells read straight from memory through its
// strides instead of one item access each, for the dtypes whose item access is known to give
// the same values: objects, bool, integers, float16/32/64 and unicode text, all in native byte
// order.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "core/numeric_matrix.hpp"
#include "core/table_scan.hpp"
#include "python/array_layout.hpp"
#include "python/cells.hpp"
#include "python/numpy.hpp"

namespace quorlin {

// A NumPy array (subclasses included) with two dimensions and a dtype equivalent to native
// float64. NumPy must be loaded.
bool is_float_matrix(PyObject* obj);

// Copies such an array without any Python call. One gap-free block (C or Fortran order, with
// positive or negative strides) is copied as it is and the copy keeps its strides; anything
// else is copied row by row into a row-major matrix.
NumericMatrix copy_float_matrix(PyObject* obj);

// Reads every cell of `values` when it is such an array, two-dimensional, covering the scan's
// shape and of a dtype read directly; otherwise reads nothing and returns false.
bool scan_exact_array(TableScan& scan, PyObject* values);

// Such an array where it lies, when its data and strides are aligned to doubles and it has
// cells: a matrix over its memory, with the array held in `held`. Nothing otherwise.
std::optional<NumericMatrix> borrow_float_matrix(PyObject* obj, HeldArrays& held);

// Reads column c from `cells` into `feed` (whose column it is), from row 0 down, while the
// array's layout holds; returns the first row not read (scan.rows() when every row was).
// Object cells are held while their conversions run. `values` answers item access for the
// cells that only item access reproduces (text that is not valid Unicode); nullptr when the
// container cannot hold such cells.
std::size_t scan_column_cells(TableScan& scan, std::size_t c, const ColumnCells& cells,
                              ColumnFeed& feed, PyObject* values, SignalCheck& signals);

}  // namespace quorlin
