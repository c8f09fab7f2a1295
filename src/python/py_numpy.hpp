// NumPy's C interface, loaded on first need rather than at import, so that the module imports
// on an interpreter without NumPy. Include this header instead of NumPy's own.
#pragma once

#include "module/py_ref.hpp"
#include "python/numeric_matrix.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL quorlin_ARRAY_API
#ifndef QUORLIN_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quorlin {

// Loads the interface if needed; throws the import's Python exception, unchanged, on failure.
void ensure_numpy();

// A zero-filled row-major matrix whose block is a new C-ordered float64 array of its shape, so
// that the output builder hands that array out instead of copying the matrix into another.
NumericMatrix new_output_buffer(std::size_t rows, std::size_t cols);

}  // namespace quorlin
