// The float-array path: a two-dimensional float64 NumPy array copied in one piece.
#pragma once

#include "module/py_ref.hpp"
#include "python/numeric_matrix.hpp"

namespace quorlin {

// A NumPy array (subclasses included) with two dimensions and a dtype equivalent to native
// float64. NumPy must be loaded.
bool is_float_matrix(PyObject* obj);

// Copies such an array without any Python call. One gap-free block (C or Fortran order, with
// positive or negative strides) is copied as it is and the copy keeps its strides; anything
// else is copied row by row into a row-major matrix.
NumericMatrix copy_float_matrix(PyObject* obj);

}  // namespace quorlin
