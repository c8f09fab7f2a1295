#include "module/py_errors.hpp"

#include <cstring>

#include "module/failure.hpp"
#include "module/py_panic.hpp"

namespace quorlin {

namespace {

std::string str_of(PyObject* obj) {
    PyRef text = PyRef::steal(PyObject_Str(obj));
    if (!text) {
        PyErr_Clear();
        return kGenericPanic;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return kGenericPanic;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

PyRef fetch_error() {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) {
        // A failed call that set nothing: report it as such rather than lose the failure.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyRef::steal(PyErr_GetRaisedException());
    }
    PyObject* panic_type = panic_exception_type();
    if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
        std::string message = str_of(exc.get());
        write_stderr(
            "--- PanicException from a nested call into native code, seen on its way back ---\n");
        write_stderr("--- its traceback follows; the outer call fails with it in turn ---\n");
        PyErr_SetRaisedException(exc.release());
        PyErr_PrintEx(0);
        throw InternalFailure(message);
    }
    return exc;
}

void discard_error() { fetch_error(); }

void throw_python_error() { throw PythonError(fetch_error()); }

PythonError make_error(PyObject* type, std::string_view message) {
    PyRef text = check(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                            "surrogateescape"));
    return PythonError(check(PyObject_CallOneArg(type, text.get())));
}

void throw_error(PyObject* type, std::string_view message) { throw make_error(type, message); }

std::string type_qualname(PyTypeObject* type) {
    PyRef name = check(PyType_GetQualName(type));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) throw_python_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

PythonError not_instance_error(PyObject* obj, std::string_view expected) {
    std::string message;
    if (obj == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        message = "'" + type_qualname(Py_TYPE(obj)) + "' object is not an instance of '";
    }
    message.append(expected);
    message += "'";
    return make_error(PyExc_TypeError, message);
}

PythonError with_note(PythonError error, std::string_view param) {
    std::string note = "while processing '" + std::string(param) + "'";
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (text) {
        PyRef result = PyRef::steal(PyObject_CallMethod(error.exception(), "add_note", "O",
                                                        text.get()));
        if (!result) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    return error;
}

}  // namespace quorlin
