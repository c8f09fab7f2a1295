#include "python/attributes.hpp"

#include "python/errors.hpp"

namespace quorlin {

namespace {

// A new reference, or null with the error set.
PyObject* get_attr(PyObject* obj, const char* name) {
    PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
    return key ? PyObject_GetAttr(obj, key.get()) : nullptr;
}

}  // namespace

PyRef attr_or_fail(PyObject* obj, const char* name) {
    return or_fail(get_attr(obj, name));
}

PyRef attr_or_drop(PyObject* obj, const char* name) {
    return or_drop(get_attr(obj, name));
}

int get_optional_attr(PyObject* obj, const char* name, PyObject** result) {
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

PyRef loaded_module_attr(const char* module, const char* attr) {
    PyRef name = or_pass_on(PyUnicode_FromString(module));
    PyRef loaded = PyRef::steal(PyImport_GetModule(name.get()));
    if (!loaded) {
        if (PyErr_Occurred()) pass_on_error();
        return PyRef();
    }
    PyObject* found = nullptr;
    if (get_optional_attr(loaded.get(), attr, &found) < 0) pass_on_error();
    return PyRef::steal(found);
}

PyRef quiet_module_attr(const char* module, const char* name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* loaded = PyDict_CheckExact(modules) ? PyDict_GetItemString(modules, module) : nullptr;
    if (loaded == nullptr || !PyModule_CheckExact(loaded)) return {};
    PyObject* found = PyDict_GetItemString(PyModule_GetDict(loaded), name);
    // Held at once: the dictionary's reference is the only one that keeps it alive.
    return found != nullptr ? PyRef::borrow(found) : PyRef();
}

}  // namespace quorlin
