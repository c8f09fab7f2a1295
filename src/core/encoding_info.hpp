// The tables of one fitting: which label of which text column got which code, and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/hash.hpp"

namespace quorlin {

using Code = std::uint64_t;
using ColumnIndex = std::size_t;

// Per column: label -> code, no code for a missing-value marker.
using LabelToCode =
    std::unordered_map<std::string, std::optional<Code>, LabelHasher, std::equal_to<>>;
// Per column: code -> label.
using CodeToLabel = std::unordered_map<Code, std::string, WordHasher>;

struct EncodingInfo {
    std::vector<ColumnIndex> text_columns;
    std::unordered_map<ColumnIndex, LabelToCode, WordHasher> label_to_code;
    std::unordered_map<ColumnIndex, CodeToLabel, WordHasher> code_to_label;
};

// The labels that mark missing values: such a label gets no code, its cells hold NaN. Listed
// in byte order.
inline constexpr std::string_view kMissingMarkers[] = {"<NA>", "NaN", "nan"};

}  // namespace quorlin
