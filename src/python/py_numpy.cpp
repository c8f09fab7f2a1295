#define QUORLIN_NUMPY_API_OWNER
#include "python/py_numpy.hpp"

#include "module/py_errors.hpp"

namespace quorlin {

void ensure_numpy() {
    // Runs under the interpreter lock; a repeated import after a failure simply tries again.
    if (PyArray_API != nullptr) return;
    // _import_array leaves the import's own exception set (import_array would print it).
    if (_import_array() < 0) throw_python_error();
}

}  // namespace quorlin
