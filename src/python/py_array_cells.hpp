// Cells read straight from an array's memory through its strides, for the dtypes whose item
// access is known to give the same values: objects, bool, integers, float16/32/64 and unicode
// text, all in native byte order.
#pragma once

#include <cstddef>

#include "python/py_numpy.hpp"
#include "python/py_signal_check.hpp"
#include "python/table_scan.hpp"

namespace quorlin {

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
