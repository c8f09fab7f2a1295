#include "python/py_error_text.hpp"

#include "module/py_errors.hpp"

namespace quorlin {

namespace {

// UTF-8 of a str, "" when it has none (the description is best effort).
std::string utf8_or_empty(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = text == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        if (PyErr_Occurred()) discard_error();
        return {};
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

std::string describe_exception(PyObject* exc) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(exc)));
    if (!name) discard_error();
    std::string text = utf8_or_empty(name.get());
    PyRef message = PyRef::steal(PyObject_Str(exc));
    if (!message) discard_error();
    std::string detail = utf8_or_empty(message.get());
    if (!detail.empty()) {
        text += ": ";
        text += detail;
    }
    return text;
}

std::string describe_pending_error() {
    PyRef exc = fetch_error();
    // Ctrl-C ends the call as KeyboardInterrupt, never as an internal failure: CPython's str()
    // checks for signals itself, so an interrupt often surfaces right there.
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt)) {
        throw PythonError(std::move(exc));
    }
    return describe_exception(exc.get());
}

}  // namespace quorlin
