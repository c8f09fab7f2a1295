// The tables of one fitting: which label of which text column got which code, and back. They
// come in two forms. Tables that encode makes are compact: per column, the labels in byte order
// (a label's code is its position) and the missing-value markers that occurred. Tables read from
// state bytes may break any of the invariants that encode keeps, so they keep the general form
// of two maps per column, written back exactly as read.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/hash.hpp"
#include "core/large_array.hpp"

namespace quorlin {

using Code = std::uint64_t;
using ColumnIndex = std::size_t;

// The labels that mark missing values: such a label gets no code, its cells hold NaN. Listed
// in byte order.
inline constexpr std::string_view kMissingMarkers[] = {"<NA>", "NaN", "nan"};
inline constexpr std::size_t kMarkerCount = std::size(kMissingMarkers);

// Per column: label -> code, no code for a missing-value marker.
using LabelToCode =
    std::unordered_map<std::string, std::optional<Code>, LabelHasher, std::equal_to<>>;
// Per column: code -> label.
using CodeToLabel = std::unordered_map<Code, std::string, WordHasher>;

// The general form.
struct EncodingInfo {
    std::vector<ColumnIndex> text_columns;
    std::unordered_map<ColumnIndex, LabelToCode, WordHasher> label_to_code;
    std::unordered_map<ColumnIndex, CodeToLabel, WordHasher> code_to_label;
};

// One column in the compact form: the labels that got a code, in ascending byte order (label i
// has code i), in one block of bytes, and which missing-value markers occurred.
class SortedLabels {
  public:
    // Appends the label of the next code; labels come in ascending byte order.
    void push(std::string_view label) {
        bytes_.insert(bytes_.end(), label.begin(), label.end());
        ends_.push_back(bytes_.size());
    }
    // Room for `labels` labels of `bytes` bytes in all, in place of what was there, for a
    // writer that fills it in pieces: the label of code i ends at ends[i] in bytes, and every
    // byte and end must be written before the labels are read.
    struct Room {
        char* bytes;
        std::size_t* ends;
    };
    Room make_room(std::size_t labels, std::size_t bytes) {
        ends_.resize(labels);
        bytes_.resize(bytes);
        return {bytes_.data(), ends_.data()};
    }
    void add_marker(std::size_t marker) { markers_ |= static_cast<std::uint8_t>(1u << marker); }

    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view operator[](std::size_t code) const noexcept {
        std::size_t begin = code == 0 ? 0 : ends_[code - 1];
        return {bytes_.data() + begin, ends_[code] - begin};
    }
    bool has_marker(std::size_t marker) const noexcept { return (markers_ >> marker) & 1u; }
    std::size_t marker_count() const noexcept {
        return static_cast<std::size_t>(std::popcount(markers_));
    }

    // The maps this column stands for.
    LabelToCode label_to_code() const;
    CodeToLabel code_to_label() const;

  private:
    // The big buffers of an encoding's working memory: the tables of a column of many labels
    // take the blocks its sort gave back.
    LargeVector<char> bytes_;
    LargeVector<std::size_t> ends_;
    std::uint8_t markers_ = 0;
};

// The compact form: columns[i] holds the labels of text column text_columns[i].
struct FittedTables {
    std::vector<ColumnIndex> text_columns;
    std::vector<SortedLabels> columns;

    // The same tables in the general form.
    EncodingInfo general() const;
};

using Tables = std::variant<FittedTables, EncodingInfo>;

inline const std::vector<ColumnIndex>& text_columns(const Tables& tables) noexcept {
    return std::visit(
        [](const auto& t) -> const std::vector<ColumnIndex>& { return t.text_columns; }, tables);
}

// The code of a cell: truncation toward zero, saturating at 0 and 2^64 - 1 (NaN excluded).
inline Code code_of(double value) noexcept {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return ~Code{0};
    return static_cast<Code>(value);
}

// min(code_of(value), limit) for limit < 2^53, without a branch: where codes follow no order a
// branch could predict (a column of three labels decoded at half the speed of one of 20,000).
// Clamped to [0, limit] (NaN to 0), the value truncates to the same code, or to the limit.
inline Code code_below(double value, Code limit) noexcept {
    const auto last = static_cast<double>(limit);
    const double low = value > 0.0 ? value : 0.0;
    const double clamped = low < last ? low : last;
    return static_cast<Code>(static_cast<std::int64_t>(clamped));
}

}  // namespace quorlin
