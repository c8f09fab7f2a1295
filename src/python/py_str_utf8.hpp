// The UTF-8 text of a Python str, read from its own storage: no encoding call, nothing cached
// on the object, lone surrogates replaced (see utf8_append.hpp).
#pragma once

#include <cstring>
#include <string>

#include "module/py_ref.hpp"
#include "python/utf8_append.hpp"

namespace quorlin {

// `str` must be a str (or subclass) instance.
inline void append_str_utf8(std::string& out, PyObject* str) {
    std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(str)) {
                out.append(static_cast<const char*>(data), length);
            } else {
                append_utf8(out, static_cast<const Py_UCS1*>(data), length);
            }
            break;
        case PyUnicode_2BYTE_KIND:
            append_utf8(out, static_cast<const Py_UCS2*>(data), length);
            break;
        default:
            append_utf8(out, static_cast<const Py_UCS4*>(data), length);
            break;
    }
}

inline std::string str_utf8(PyObject* str) {
    std::string out;
    append_str_utf8(out, str);
    return out;
}

}  // namespace quorlin
