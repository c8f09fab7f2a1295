// The general road of the cell-by-cell path: every cell fetched as values[(r, c)].
#pragma once

#include <cstddef>

#include "module/py_ref.hpp"
#include "python/table_scan.hpp"

namespace quorlin {

// values[(r, c)] as a new reference; a failed fetch is an internal failure describing the
// Python error.
PyRef fetch_cell(PyObject* values, std::size_t r, std::size_t c);

// Reads every cell, column after column, each column from row 0 down.
void scan_items(TableScan& scan, PyObject* values);

}  // namespace quorlin
