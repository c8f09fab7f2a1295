// Python exceptions carried through C++ as values, and the helpers that raise them.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "module/py_ref.hpp"

namespace quorlin {

// A Python exception on its way to the entry point, where it is set again unchanged.
class PythonError : public std::exception {
public:
    explicit PythonError(PyRef exception) noexcept : exception_(std::move(exception)) {}
    const char* what() const noexcept override { return "Python exception"; }
    PyObject* exception() const noexcept { return exception_.get(); }
    // Makes it the thread's current exception again.
    void restore() noexcept { PyErr_SetRaisedException(exception_.release()); }

private:
    PyRef exception_;
};

// Takes the pending Python error. A PanicException coming back through Python code (an
// internal failure of a nested call) is printed with a banner and becomes an internal failure
// of this call instead: this function then throws InternalFailure.
PyRef fetch_error();
// Takes the pending error, as fetch_error does, and drops it.
void discard_error();

[[noreturn]] void throw_python_error();
// A new exception of class `type` with the message `message`.
PythonError make_error(PyObject* type, std::string_view message);
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

// Returns `result` as an owned handle, or throws the pending error when it is null.
inline PyRef check(PyObject* result) {
    if (result == nullptr) throw_python_error();
    return PyRef::steal(result);
}

// "'{}' object is not an instance of '{}'", or "'None' is not an instance of '{}'".
PythonError not_instance_error(PyObject* obj, std::string_view expected);
// Adds the note "while processing '{param}'"; a failing add_note is ignored.
PythonError with_note(PythonError error, std::string_view param);

// The qualified name of a type as UTF-8 text.
std::string type_qualname(PyTypeObject* type);

}  // namespace quorlin
