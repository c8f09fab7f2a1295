// Attributes of modules that are already imported, looked up without importing anything:
// an object of a class can only exist once its module is loaded.
#pragma once

#include "module/py_ref.hpp"

namespace quorlin {

// sys.modules[module].attr, or an empty handle when the module is not loaded or lacks it.
// Lookup errors are passed on as PythonError.
PyRef loaded_module_attr(const char* module, const char* attr);

}  // namespace quorlin
