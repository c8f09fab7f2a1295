#include "python/binding.hpp"

#include <string>
#include <string_view>

#include "python/errors.hpp"

namespace quorlin {

namespace {

[[noreturn]] void too_many_positional(const FunctionDescription& desc, std::size_t given) {
    const char* verb = given == 1 ? "was" : "were";
    std::string message = desc.name;
    if (desc.required_count == desc.parameter_count) {
        message += " takes " + std::to_string(desc.parameter_count);
    } else {
        message += " takes from " + std::to_string(desc.required_count) + " to " +
                   std::to_string(desc.parameter_count);
    }
    message += " positional arguments but " + std::to_string(given) + " " + verb + " given";
    throw_error(PyExc_TypeError, message);
}

void bind_keyword(const FunctionDescription& desc, PyObject* name, PyObject* value,
                  PyObject** slots) {
    std::string_view key;
    bool readable = false;
    if (PyUnicode_Check(name)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
        if (utf8 != nullptr) {
            key = std::string_view(utf8, static_cast<std::size_t>(size));
            readable = true;
        } else {
            discard_error();  // a name that is not UTF-8 text matches nothing
        }
    }
    if (readable) {
        for (std::size_t i = 0; i < desc.parameter_count; ++i) {
            if (key != desc.parameters[i]) continue;
            if (slots[i] != nullptr) {
                throw_error(PyExc_TypeError, std::string(desc.name) +
                                                 " got multiple values for argument '" +
                                                 desc.parameters[i] + "'");
            }
            slots[i] = value;
            return;
        }
    }
    // Formatted by CPython: the name as str() shows it, even when it is not UTF-8 text.
    PyRef message = or_pass_on(
        PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", desc.name, name));
    throw PythonError(or_pass_on(PyObject_CallOneArg(PyExc_TypeError, message.get())));
}

void check_required(const FunctionDescription& desc, PyObject** slots) {
    std::string missing;
    std::size_t count = 0;
    std::size_t total = 0;
    for (std::size_t i = 0; i < desc.required_count; ++i) total += slots[i] == nullptr;
    for (std::size_t i = 0; i < desc.required_count; ++i) {
        if (slots[i] != nullptr) continue;
        ++count;
        if (count > 1) {
            if (total == 2) {
                missing += " and ";
            } else {
                missing += count == total ? ", and " : ", ";
            }
        }
        missing += "'" + std::string(desc.parameters[i]) + "'";
    }
    if (count == 0) return;
    throw_error(PyExc_TypeError, std::string(desc.name) + " missing " + std::to_string(count) +
                                     " required positional " +
                                     (count == 1 ? "argument" : "arguments") + ": " + missing);
}

}  // namespace

void bind_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** slots) {
    std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (nargs > desc.parameter_count) too_many_positional(desc, nargs);
    for (std::size_t i = 0; i < desc.parameter_count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword(desc, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
        }
    }
    check_required(desc, slots);
}

void bind_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                     PyObject** slots) {
    std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (nargs > desc.parameter_count) too_many_positional(desc, nargs);
    for (std::size_t i = 0; i < desc.parameter_count; ++i) {
        slots[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    }
    if (kwargs != nullptr) {
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &name, &value)) bind_keyword(desc, name, value, slots);
    }
    check_required(desc, slots);
}

}  // namespace quorlin
