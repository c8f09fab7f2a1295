// NumPy's C interface, loaded on first need rather than at import, so that the module imports
// on an interpreter without NumPy. Include this header instead of NumPy's own.
#pragma once

#include "core/numeric_matrix.hpp"
#include "python/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL quorlin_ARRAY_API
#ifndef QUORLIN_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quorlin {

// Loads the interface if needed; throws the import's Python exception, unchanged, on failure.
void ensure_numpy();

// A new array (C or Fortran order, zero-filled or not) whose data comes from the memory that
// the encoding's big buffers reuse, unless the caller gave NumPy an allocator of their own.
PyRef new_big_array(int ndim, npy_intp* dims, int type, bool fortran_order, bool zero_filled);

// A matrix whose block is a new float64 array of its shape (C or Fortran order, zero-filled or
// not), so that the output builder hands that array out instead of copying the matrix again.
NumericMatrix new_array_matrix(std::size_t rows, std::size_t cols, bool fortran_order,
                               bool zero_filled);

// The zero-filled output buffer of the cell-by-cell path.
inline NumericMatrix new_output_buffer(std::size_t rows, std::size_t cols, MatrixOrder order) {
    return new_array_matrix(rows, cols, order == MatrixOrder::ColumnMajor, true);
}

// The array a matrix lives in, when it is exactly that array's elements in that array's
// layout; else null.
PyObject* lent_array(const NumericMatrix& matrix);

// A new 2-D float64 array of the matrix's shape holding its values: the matrix's own array when
// it lends one, else a copy.
PyRef new_float_array(NumericMatrix& matrix);

}  // namespace quorlin
