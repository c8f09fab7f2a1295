#include "python/py_loaded_attr.hpp"

#include "module/py_compat.hpp"
#include "module/py_errors.hpp"

namespace quorlin {

PyRef loaded_module_attr(const char* module, const char* attr) {
    PyRef name = check(PyUnicode_FromString(module));
    PyRef loaded = PyRef::steal(PyImport_GetModule(name.get()));
    if (!loaded) {
        if (PyErr_Occurred()) throw_python_error();
        return PyRef();
    }
    PyObject* found = nullptr;
    if (get_optional_attr(loaded.get(), attr, &found) < 0) throw_python_error();
    return PyRef::steal(found);
}

}  // namespace quorlin
