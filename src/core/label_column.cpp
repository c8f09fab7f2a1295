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

}  // namespace quorlin
