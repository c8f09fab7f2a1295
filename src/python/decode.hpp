// Label restoration: the codes of the text columns back into their labels, on the two result
// kinds.
#pragma once

#include <string>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/numeric_matrix.hpp"
#include "core/out.hpp"
#include "python/array_read.hpp"
#include "python/ref.hpp"

namespace quorlin {

// The array form: the object array of the matrix's cells, a Python float in each numeric column
// and a label (or "NaN") in each text column.
// `held`, when set, holds the input array that the matrix reads (checked before the read).
PyRef decode_array(const NumericMatrix& matrix, const Tables& tables, const HeldArrays* held);

// The table form, for tables that list at least one text column. With unique column names the
// frame is built in one step from its columns (`names` is the list of their str objects, `pandas`
// the module); otherwise `frame`, the float frame of the matrix, has its text columns converted
// and assigned one by one. Both give the same frame.
bool names_are_unique(const std::vector<std::string>& names);
// `held`, when set, holds the input arrays that the matrix reads (checked before the read).
PyRef decode_frame_at_once(PyObject* pandas, PyObject* names, NumericMatrix& matrix, const OUT& out,
                           const Tables& tables, const HeldArrays* held);
PyRef decode_frame_by_steps(PyRef frame, const NumericMatrix& matrix, const OUT& out,
                            const Tables& tables);

// The code of a cell: truncation toward zero, saturating at 0 and 2^64 - 1 (NaN excluded).
inline Code code_of(double value) noexcept {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return ~Code{0};
    return static_cast<Code>(value);
}

}  // namespace quorlin
