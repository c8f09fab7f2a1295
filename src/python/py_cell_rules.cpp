#include "python/py_cell_rules.hpp"

#include "module/failure.hpp"
#include "module/py_errors.hpp"
#include "python/py_error_text.hpp"
#include "python/py_str_utf8.hpp"

namespace quorlin {

bool cell_number(PyObject* cell, double& value) {
    if (PyFloat_CheckExact(cell)) {
        value = PyFloat_AS_DOUBLE(cell);
        return true;
    }
    // A str has neither conversion: skipping the call saves raising and dropping a TypeError.
    if (PyUnicode_CheckExact(cell)) return false;
    value = PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
        PyRef error = fetch_error();
        // Ctrl-C while a cell converts ends the call; it must not turn the column into text.
        if (PyErr_GivenExceptionMatches(error.get(), PyExc_KeyboardInterrupt)) {
            throw PythonError(std::move(error));
        }
        return false;
    }
    return true;
}

void append_cell_text(std::string& out, PyObject* cell) {
    PyRef text = PyRef::steal(PyObject_Str(cell));
    if (!text) throw InternalFailure("cant convert to str: " + describe_pending_error());
    append_str_utf8(out, text.get());
}

}  // namespace quorlin
