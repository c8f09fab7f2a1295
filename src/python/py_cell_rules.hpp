// What one cell is: a number when it converts to a float without parsing text, else text
// through str().
#pragma once

#include <string>

#include "module/py_ref.hpp"

namespace quorlin {

// The cell's value as PyFloat_AsDouble gives it (a float as it is, else its __float__, else
// its __index__). False when the conversion fails; the error is discarded.
bool cell_number(PyObject* cell, double& value);

// Appends str(cell) as UTF-8. A failing str() is an internal failure "cant convert to str: ...".
void append_cell_text(std::string& out, PyObject* cell);

}  // namespace quorlin
