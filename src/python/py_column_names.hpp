// Column names of a DataFrame for the table-form descriptor.
#pragma once

#include <string>
#include <vector>

#include "module/py_ref.hpp"

namespace quorlin {

// The names of `frame.columns` in order: its items when all are str, else the decimal text of
// `columns.tolist()`'s integers. Failures of Python calls pass on unchanged; a str from tolist
// raises TypeError "Can't extract `str` to `Vec`".
std::vector<std::string> column_names(PyObject* frame);

}  // namespace quorlin
