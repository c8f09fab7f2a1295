#include "python/py_float_array.hpp"

#include <cstdlib>
#include <cstring>

#include "module/py_errors.hpp"
#include "python/py_numpy.hpp"

namespace quorlin {

namespace {

std::ptrdiff_t magnitude(std::ptrdiff_t x) noexcept {
    return x < 0 ? -x : x;
}

// Element strides of a gap-free block, or false. An axis of extent 1 can have any stride;
// it gets the one that the block's order implies.
bool block_strides(std::size_t rows, std::size_t cols, npy_intp row_bytes, npy_intp col_bytes,
                   std::ptrdiff_t& row_stride, std::ptrdiff_t& col_stride) {
    if (row_bytes % 8 != 0 || col_bytes % 8 != 0) return false;
    auto r = static_cast<std::ptrdiff_t>(row_bytes / 8);
    auto c = static_cast<std::ptrdiff_t>(col_bytes / 8);
    auto n_rows = static_cast<std::ptrdiff_t>(rows);
    auto n_cols = static_cast<std::ptrdiff_t>(cols);
    if (rows == 1) r = n_cols * (r < 0 ? -1 : 1);
    if (cols == 1) c = (c < 0 ? -1 : 1) * (rows == 1 ? 1 : n_rows);
    bool c_order = magnitude(c) == 1 && magnitude(r) == n_cols;
    bool f_order = magnitude(r) == 1 && magnitude(c) == n_rows;
    if (rows == 1 && cols == 1) {
        r = 1;
        c = 1;
        c_order = true;
    }
    if (!c_order && !f_order) return false;
    row_stride = r;
    col_stride = c;
    return true;
}

}  // namespace

bool is_float_matrix(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) return false;
    PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) throw_python_error();
    return PyArray_EquivTypes(PyArray_DESCR(array),
                              reinterpret_cast<PyArray_Descr*>(float64.get())) != 0;
}

NumericMatrix copy_float_matrix(PyObject* obj) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    npy_intp row_bytes = PyArray_STRIDE(array, 0);
    npy_intp col_bytes = PyArray_STRIDE(array, 1);
    const char* data = PyArray_BYTES(array);

    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    if (rows * cols != 0 &&
        block_strides(rows, cols, row_bytes, col_bytes, row_stride, col_stride)) {
        // The block starts at the lowest address that an element occupies.
        std::ptrdiff_t offset = 0;
        if (row_stride < 0) offset -= row_stride * static_cast<std::ptrdiff_t>(rows - 1);
        if (col_stride < 0) offset -= col_stride * static_cast<std::ptrdiff_t>(cols - 1);
        // With positive strides the copy is a new array that becomes the output as it is.
        const bool c_order = col_stride == 1 && row_stride == static_cast<std::ptrdiff_t>(cols);
        NumericMatrix m =
            offset != 0 ? NumericMatrix::with_layout(rows, cols, row_stride, col_stride, offset)
                        : new_array_matrix(rows, cols, !c_order, false);
        std::memcpy(m.block(), data - offset * 8, rows * cols * sizeof(double));
        return m;
    }
    NumericMatrix m = new_array_matrix(rows, cols, false, false);
    double* out = m.block();
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = data + static_cast<npy_intp>(r) * row_bytes;
        for (std::size_t c = 0; c < cols; ++c) {
            std::memcpy(out++, row + static_cast<npy_intp>(c) * col_bytes, sizeof(double));
        }
    }
    return m;
}

}  // namespace quorlin
