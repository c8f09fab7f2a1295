#include "python/py_column_names.hpp"

#include <optional>

#include "module/py_errors.hpp"

namespace quorlin {

namespace {

// The items of `columns` when every one is a str with a UTF-8 form; nothing otherwise (the
// error that told us so is dropped).
std::optional<std::vector<std::string>> string_names(PyObject* columns) {
    if (PyUnicode_Check(columns) || !PySequence_Check(columns)) return std::nullopt;
    PyRef iterator = PyRef::steal(PyObject_GetIter(columns));
    if (!iterator) {
        discard_error();
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) return std::nullopt;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (utf8 == nullptr) {
            discard_error();
            return std::nullopt;
        }
        names.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) {
        discard_error();
        return std::nullopt;
    }
    return names;
}

// The decimal text of every item of `columns.tolist()`, each converted as PyLong_AsLongLong
// converts (through __index__).
std::vector<std::string> integer_names(PyObject* columns) {
    PyRef list = check(PyObject_CallMethod(columns, "tolist", nullptr));
    if (PyUnicode_Check(list.get())) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(list.get())) {
        throw_error(PyExc_TypeError, "'" + type_qualname(Py_TYPE(list.get())) +
                                         "' object cannot be converted to 'Sequence'");
    }
    // The length is only a size hint: a sequence without one is still read item by item.
    Py_ssize_t count = PySequence_Size(list.get());
    if (count < 0) {
        discard_error();
        count = 0;
    }
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    PyRef iterator = check(PyObject_GetIter(list.get()));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        long long value = PyLong_AsLongLong(item.get());
        if (value == -1 && PyErr_Occurred()) throw_python_error();
        names.push_back(std::to_string(value));
    }
    if (PyErr_Occurred()) throw_python_error();
    return names;
}

}  // namespace

std::vector<std::string> column_names(PyObject* frame) {
    PyRef columns = check(PyObject_GetAttrString(frame, "columns"));
    if (auto names = string_names(columns.get())) return std::move(*names);
    return integer_names(columns.get());
}

}  // namespace quorlin
