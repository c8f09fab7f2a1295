#include "core/out.hpp"

#include <functional>
#include <string_view>
#include <unordered_set>

#include "core/hash.hpp"

namespace quorlin {

bool OUT::names_unique() const {
    std::unordered_set<std::string_view, LabelHasher, std::equal_to<>> seen;
    seen.reserve(names.size());
    for (const std::string& name : names) {
        if (!seen.insert(name).second) return false;
    }
    return true;
}

}  // namespace quorlin
