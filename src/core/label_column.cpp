#include "core/label_column.hpp"

#include <limits>

#include "core/failure.hpp"

namespace quorlin {

std::uint32_t LabelColumn::add_entry(std::string_view label) {
    if (ends_.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw InternalFailure("too many labels in one column");
    }
    bytes_.insert(bytes_.end(), label.begin(), label.end());
    ends_.push_back(bytes_.size());
    return static_cast<std::uint32_t>(ends_.size() - 1);
}

void LabelColumn::give_back() noexcept {
    give_back_unkept(bytes_);
    give_back_unkept(ends_);
    give_back_unkept(rows_);
}

std::uint32_t LabelColumn::append_entries(LabelColumn&& other) {
    if (other.ends_.size() > std::numeric_limits<std::uint32_t>::max() - ends_.size()) {
        throw InternalFailure("too many labels in one column");
    }
    const auto first = static_cast<std::uint32_t>(ends_.size());
    if (ends_.empty()) {
        bytes_ = std::move(other.bytes_);
        ends_ = std::move(other.ends_);
    } else {
        const std::uint64_t base = bytes_.size();
        bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
        ends_.reserve(ends_.size() + other.ends_.size());
        for (std::uint64_t end : other.ends_) ends_.push_back(base + end);
    }
    other.drop_entries();
    return first;
}

}  // namespace quorlin
