#define QUORLIN_NUMPY_API_OWNER
#include "python/py_numpy.hpp"

#include <memory>

#include "module/py_errors.hpp"

namespace quorlin {

void ensure_numpy() {
    // Runs under the interpreter lock; a repeated import after a failure simply tries again.
    if (PyArray_API != nullptr) return;
    // _import_array leaves the import's own exception set (import_array would print it).
    if (_import_array() < 0) throw_python_error();
}

NumericMatrix new_output_buffer(std::size_t rows, std::size_t cols) {
    matrix_bytes(rows, cols);  // the size check comes before any allocation
    ensure_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    // Large zeroed arrays come from calloc: fresh pages, not written twice.
    PyRef array = check(PyArray_ZEROS(2, dims, NPY_DOUBLE, 0));
    PyObject* handle = array.release();
    auto* block = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(handle)));
    // The matrix is only ever released on the calling thread, which holds the interpreter. Should
    // the owner's own allocation fail, it releases the array itself.
    std::shared_ptr<void> owner(handle, [](void* p) { Py_DECREF(static_cast<PyObject*>(p)); });
    return NumericMatrix::adopt(block, rows, cols, static_cast<std::ptrdiff_t>(cols), 1, 0,
                                std::move(owner), handle);
}

}  // namespace quorlin
