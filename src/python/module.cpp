// The module definition and its exec hook. PyInit_quorlin is the only exported symbol.
#include "core/failure.hpp"
#include "python/attributes.hpp"
#include "python/encoder.hpp"
#include "python/errors.hpp"

namespace quorlin {

namespace {

// __all__ of the module: the existing list, or a new empty one set on the module.
PyRef all_list(PyObject* module) {
    PyObject* found = nullptr;
    if (get_optional_attr(module, "__all__", &found) < 0) pass_on_error();
    PyRef all = PyRef::steal(found);
    if (!all) {
        all = or_pass_on(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) pass_on_error();
        return all;
    }
    if (!PyList_Check(all.get())) throw not_instance_error(all.get(), "list");
    return all;
}

int exec_module(PyObject* module) {
    PyObject* result = run_entry([&]() -> PyObject* {
        if (!PyModule_Check(module)) throw not_instance_error(module, "module");
        PyObject* type = encoder_type();
        PyRef all = all_list(module);
        PyRef name = or_pass_on(PyUnicode_FromString("Encoder"));
        if (PyList_Append(all.get(), name.get()) < 0) {
            discard_error();
            throw InternalFailure("could not append __name__ to __all__");
        }
        if (PyObject_SetAttrString(module, "Encoder", type) < 0) pass_on_error();
        return Py_NewRef(Py_None);
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quorlin",
    "Native extension module that turns the text columns of tables into dense float codes.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quorlin

PyMODINIT_FUNC PyInit_quorlin(void) {
    return PyModuleDef_Init(&quorlin::kModule);
}
