// The tables of one fitting: which label of which text column got which code, and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorlin {

// Hash seeds drawn from the operating system's random source; every map gets its own.
struct HashSeed {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    static HashSeed random();
};

std::uint64_t hash_bytes(std::string_view bytes, const HashSeed& seed) noexcept;
std::uint64_t hash_word(std::uint64_t word, const HashSeed& seed) noexcept;

struct LabelHasher {
    using is_transparent = void;
    HashSeed seed = HashSeed::random();
    std::size_t operator()(std::string_view s) const noexcept { return hash_bytes(s, seed); }
};

struct WordHasher {
    HashSeed seed = HashSeed::random();
    std::size_t operator()(std::uint64_t w) const noexcept { return hash_word(w, seed); }
};

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

// "nan", "NaN" and "<NA>" mark missing values: such a label gets no code.
inline bool is_missing_marker(std::string_view label) noexcept {
    return label == "nan" || label == "NaN" || label == "<NA>";
}

}  // namespace quorlin
