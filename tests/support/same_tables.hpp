// Content equality of encoding tables: hash maps compare by their entries, whatever
// their seeds or iteration order.
#pragma once

#include <optional>

#include "core/encoding_info.hpp"

namespace quorlin::testing {

inline bool same_tables(const EncodingInfo& a, const EncodingInfo& b) {
    return a.text_columns == b.text_columns && a.label_to_code == b.label_to_code &&
           a.code_to_label == b.code_to_label;
}

inline bool same_tables(const std::optional<EncodingInfo>& a,
                        const std::optional<EncodingInfo>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || same_tables(*a, *b);
}

}  // namespace quorlin::testing
