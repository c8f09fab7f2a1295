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

// A new array (C or Fortran order) whose data comes from the memory that the encoding's big
// buffers reuse, unless the caller gave NumPy an allocator of their own. Its numbers are left as
// that memory held them (an object array's slots are NULL, as NumPy makes them): its maker
// writes every one.
PyRef new_big_array(int ndim, npy_intp* dims, int type, bool fortran_order);

// A matrix whose block is a new float64 array of its shape (C or Fortran order), so that the
// output builder hands that array out instead of copying the matrix again.
NumericMatrix new_array_matrix(std::size_t rows, std::size_t cols, bool fortran_order);

// The output buffer of the cell-by-cell path. Not zeroed: the scan writes every numeric cell and
// label encoding every text cell, and zeroing a reused block first was a pass over all of it on
// the calling thread, before any worker starts (6 ms of a 100 ms encode of 10^6 rows x 8).
inline NumericMatrix new_output_buffer(std::size_t rows, std::size_t cols, MatrixOrder order) {
    return new_array_matrix(rows, cols, order == MatrixOrder::ColumnMajor);
}

// The array a matrix lives in, when it is exactly that array's elements in that array's
// layout; else null.
PyObject* lent_array(const NumericMatrix& matrix);

// A new 2-D float64 array of the matrix's shape holding its values: the matrix's own array when
// it lends one, else a copy.
PyRef new_float_array(NumericMatrix& matrix);

}  // namespace quorlin
