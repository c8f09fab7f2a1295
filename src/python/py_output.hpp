// The output builder: the numeric matrix back into an object of the input's kind, with labels
// restored when tables are given.
#pragma once

#include "module/py_ref.hpp"
#include "python/encoding_info.hpp"
#include "python/numeric_matrix.hpp"
#include "python/out.hpp"

namespace quorlin {

// `matrix` is read (and may lend its block to the result), `out` is consumed, `tables` may be
// null. Throws PythonError or InternalFailure.
PyRef arr_to_out(NumericMatrix& matrix, OUT out, const EncodingInfo* tables);

// A new 2-D float64 array of the matrix's shape holding its values.
PyRef new_float_array(NumericMatrix& matrix);

// Label restoration on the two result kinds (the tables list at least one text column for the
// table form).
// Both read the cells from `matrix`, which the caller keeps alive and unchanged.
PyRef decode_array(const NumericMatrix& matrix, const EncodingInfo& tables);
PyRef decode_frame(PyRef frame, const NumericMatrix& matrix, const OUT& out,
                   const EncodingInfo& tables);

// The code of a cell: truncation toward zero, saturating at 0 and 2^64 - 1 (NaN excluded).
inline Code code_of(double value) noexcept {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return ~Code{0};
    return static_cast<Code>(value);
}

}  // namespace quorlin
