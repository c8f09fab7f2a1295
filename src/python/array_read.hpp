// Reading NumPy arrays. A two-dimensional float64 array is copied in one piece. An array that is
// exactly numpy.ndarray or numpy.memmap has its cells read straight from memory through its
// strides instead of one item access each, for the dtypes whose item access is known to give
// the same values: objects, bool, integers, float16/32/64 and unicode text, all in native byte
// order.
#pragma once

#include <cstddef>

#include "core/numeric_matrix.hpp"
#include "core/table_scan.hpp"
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

enum class DirectKind { None, Object, Bool, Int, UInt, Half, Float, Double, Unicode };

// DirectKind::None for every dtype that keeps item access.
DirectKind direct_kind(PyArray_Descr* descr);

// The value of a cell of a numeric kind (Bool, Int, UInt, Half, Float, Double) at p.
double number_at(const char* p, DirectKind kind, std::size_t size) noexcept;

// One column of cells in memory: scan.rows() cells `stride` bytes apart.
struct ColumnCells {
    const char* data;
    std::ptrdiff_t stride;
    DirectKind kind;
    std::size_t itemsize;
};

// Reads column c from `cells`, whose container keeps every object cell alive during the scan.
// `values` answers item access for the cells that only item access reproduces (text that is
// not valid Unicode); nullptr when the container cannot hold such cells.
void scan_column_cells(TableScan& scan, std::size_t c, const ColumnCells& cells, PyObject* values,
                       SignalCheck& signals);

}  // namespace quorlin
