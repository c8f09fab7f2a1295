// The cell-by-cell path (encode_object_array): every cell read through Python, columns sorted
// into numeric and text on the fly, text columns encoded in parallel.
#pragma once

#include "module/py_ref.hpp"
#include "python/encoding_info.hpp"
#include "python/numeric_matrix.hpp"

namespace quorlin {

struct ObjectArrayResult {
    NumericMatrix matrix;  // row-major
    EncodingInfo tables;
};

// `table_form`: the cells are those of obj.values (a DataFrame), else of obj itself.
ObjectArrayResult encode_object_array(PyObject* obj, bool table_form);

}  // namespace quorlin
