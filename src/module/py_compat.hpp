// Calls that CPython 3.13 has and 3.12 lacks, so that one source builds for both.
#pragma once

#include "module/py_ref.hpp"

namespace quorlin {

// 1 and a new reference when found, 0 when the attribute is missing, -1 with an error set.
inline int get_optional_attr(PyObject* obj, const char* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttrString(obj, name, result);
#else
    *result = PyObject_GetAttrString(obj, name);
    if (*result != nullptr) return 1;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
#endif
}

}  // namespace quorlin
