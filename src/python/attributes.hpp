// Attribute lookups: by interned name, optional, and on modules that are already loaded.
#pragma once

#include "python/ref.hpp"

namespace quorlin {

// obj.<name>, looked up by an interned name: the interpreter's attribute cache keeps the names
// it is given, so a fresh str per lookup would take up a slot of its own each time. A failed
// lookup is an internal failure (attr_or_fail: the lookup cannot fail on the objects it is for),
// or closes a fast road (attr_or_drop: an empty handle; an interrupt still ends the call).
PyRef attr_or_fail(PyObject* obj, const char* name);
PyRef attr_or_drop(PyObject* obj, const char* name);

// 1 and a new reference when found, 0 when the attribute is missing, -1 with an error set
// (the call that CPython 3.13 has and 3.12 lacks, so that one source builds for both).
int get_optional_attr(PyObject* obj, const char* name, PyObject** result);

// sys.modules[module].attr, or an empty handle when the module is not loaded or lacks it:
// an object of a class can only exist once its module is loaded, so nothing is imported.
// Lookup errors are passed on as PythonError.
PyRef loaded_module_attr(const char* module, const char* attr);

// sys.modules[module].<name> found by dictionary lookups alone, so that no Python code runs (a
// module's __getattr__, a replaced __import__, a collection that an allocation starts): a new
// reference, or empty when the module is not loaded or lacks it. No error is set.
PyRef quiet_module_attr(const char* module, const char* name);

}  // namespace quorlin
