// Label restoration: the codes of the text columns back into their labels, on the two result
// kinds.
#pragma once

#include "core/encoding_info.hpp"
#include "core/numeric_matrix.hpp"
#include "core/out.hpp"
#include "python/ref.hpp"

namespace quorlin {

// The tables list at least one text column for the table form. Both read the cells from `matrix`,
// which the caller keeps alive and unchanged.
PyRef decode_array(const NumericMatrix& matrix, const Tables& tables);
PyRef decode_frame(PyRef frame, const NumericMatrix& matrix, const OUT& out, const Tables& tables);

// The code of a cell: truncation toward zero, saturating at 0 and 2^64 - 1 (NaN excluded).
inline Code code_of(double value) noexcept {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return ~Code{0};
    return static_cast<Code>(value);
}

}  // namespace quorlin
