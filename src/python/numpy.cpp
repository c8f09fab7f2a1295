#define QUORLIN_NUMPY_API_OWNER
#include "python/numpy.hpp"

#include <cstring>
#include <memory>

#include "python/errors.hpp"

namespace quorlin {

void ensure_numpy() {
    // Runs under the interpreter lock; a repeated import after a failure simply tries again.
    if (PyArray_API != nullptr) return;
    // _import_array leaves the import's own exception set (import_array would print it).
    if (_import_array() < 0) pass_on_error();
}

NumericMatrix new_array_matrix(std::size_t rows, std::size_t cols, bool fortran_order,
                               bool zero_filled) {
    matrix_bytes(rows, cols);  // the size check comes before any allocation
    ensure_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    // Large zeroed arrays come from calloc: fresh pages, not written twice.
    PyRef array = zero_filled
                      ? or_pass_on(PyArray_ZEROS(2, dims, NPY_DOUBLE, fortran_order ? 1 : 0))
                      : or_pass_on(PyArray_EMPTY(2, dims, NPY_DOUBLE, fortran_order ? 1 : 0));
    PyObject* handle = array.release();
    auto* block = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(handle)));
    // The matrix is only ever released on the calling thread, which holds the interpreter. Should
    // the owner's own allocation fail, it releases the array itself.
    std::shared_ptr<void> owner(handle, [](void* p) { Py_DECREF(static_cast<PyObject*>(p)); });
    auto r = static_cast<std::ptrdiff_t>(rows);
    auto c = static_cast<std::ptrdiff_t>(cols);
    return fortran_order
               ? NumericMatrix::adopt(block, rows, cols, 1, r, 0, std::move(owner), handle)
               : NumericMatrix::adopt(block, rows, cols, c, 1, 0, std::move(owner), handle);
}

PyObject* lent_array(const NumericMatrix& matrix) {
    constexpr auto kDouble = static_cast<npy_intp>(sizeof(double));
    auto* array = static_cast<PyArrayObject*>(matrix.handle());
    if (array == nullptr || PyArray_NDIM(array) != 2) return nullptr;
    const bool same =
        PyArray_DATA(array) == static_cast<const void*>(matrix.origin()) &&
        PyArray_DIM(array, 0) == static_cast<npy_intp>(matrix.rows()) &&
        PyArray_DIM(array, 1) == static_cast<npy_intp>(matrix.cols()) &&
        (matrix.rows() <= 1 || PyArray_STRIDE(array, 0) == matrix.row_stride() * kDouble) &&
        (matrix.cols() <= 1 || PyArray_STRIDE(array, 1) == matrix.col_stride() * kDouble);
    return same ? reinterpret_cast<PyObject*>(array) : nullptr;
}

PyRef new_float_array(NumericMatrix& matrix) {
    ensure_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
    if (PyObject* lent = lent_array(matrix)) {
        // The matrix lives in a fresh array of exactly its shape and layout: hand that over.
        return PyRef::borrow(lent);
    }
    PyRef array = or_pass_on(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    if (matrix.is_row_major()) {
        if (matrix.size() > 0) std::memcpy(data, matrix.origin(), matrix.size() * sizeof(double));
    } else {
        for (std::size_t r = 0; r < matrix.rows(); ++r) {
            for (std::size_t c = 0; c < matrix.cols(); ++c) *data++ = matrix.at(r, c);
        }
    }
    return array;
}

}  // namespace quorlin
