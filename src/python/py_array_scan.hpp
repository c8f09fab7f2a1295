// Fast path of the cell-by-cell path for a values object that is exactly numpy.ndarray or
// numpy.memmap: cells come straight from memory instead of one item access each.
#pragma once

#include "module/py_ref.hpp"
#include "python/table_scan.hpp"

namespace quorlin {

// Reads every cell of `values` when it is such an array, two-dimensional, covering the scan's
// shape and of a dtype read directly; otherwise reads nothing and returns false.
bool scan_exact_array(TableScan& scan, PyObject* values);

}  // namespace quorlin
