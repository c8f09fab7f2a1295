// The distinct labels of a column in ascending byte order (unsigned bytes, a proper prefix
// first). Each label's first 16 bytes, as a 128-bit number, order it against nearly every other
// label, so the labels are sorted by those bits with a most-significant-digit radix sort on the
// worker pool, whose digits start where the labels in a range begin to differ (a shared start
// such as "user_" costs one pass, not five) and, where they fit in 64, hold only the bits in
// which some labels differ (a decimal digit's 4 of 8). Labels that agree in their first 16 bytes
// are keyed by their next 16, and so on to a depth; only labels that agree that far are compared
// whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string_view>
#include <vector>

#include "core/large_array.hpp"

namespace quorlin {

// An item names its label by id alone: 24 bytes, where a pointer and a full length would make
// it 40, for the millions of labels of an id column. The few looks past a label's first 16 bytes
// (labels that share them) find its bytes through a LabelOf.
struct SortItem {
    // The first 16 bytes, big-endian, zero-padded.
    std::uint64_t prefix0;
    std::uint64_t prefix1;
    std::uint32_t id;
    // The label's length, or kLongLabel for one of 4 GiB or more: the sort tells lengths apart
    // only up to the depth it keys labels at, far below.
    std::uint32_t size;
};
static_assert(sizeof(SortItem) == 24);

inline constexpr std::uint32_t kLongLabel = std::numeric_limits<std::uint32_t>::max();

using SortItems = LargeVector<SortItem>;

// The label that an item's id names.
using LabelOf = std::function<std::string_view(std::uint32_t id)>;

SortItem sort_item(std::string_view label, std::uint32_t id);

// sort_less for items whose prefixes are equal: out of line, as it may look at the labels.
bool sort_less_past_prefixes(const SortItem& a, const SortItem& b, const LabelOf& label_of);

// Unsigned byte order, a proper prefix first. The prefixes decide nearly every comparison, so
// their tests are inline (a call for each cost up to a tenth of a sort of 200,000 ids).
inline bool sort_less(const SortItem& a, const SortItem& b, const LabelOf& label_of) {
    if (a.prefix0 != b.prefix0) return a.prefix0 < b.prefix0;
    if (a.prefix1 != b.prefix1) return a.prefix1 < b.prefix1;
    return sort_less_past_prefixes(a, b, label_of);
}

// Memory a caller lends a sort for scratch, free while it sorts: `size` items at `data`.
struct SortScratch {
    SortItem* data = nullptr;
    std::size_t size = 0;
};

// Sorts by sort_less, on the current pool. The order of labels with equal bytes is unspecified.
// The prefixes are the sort's working keys: afterwards they may hold later bytes of a label, so
// sorted items are compared by their labels. Scratch of one item a label is its own unless
// `lent` holds that many.
void sort_labels(SortItems& items, const LabelOf& label_of, SortScratch lent = {});

// Makes items [first, last) of a sequence into out[0, last - first).
using MakeItems = std::function<void(std::size_t first, std::size_t last, SortItem* out)>;

// Labels from which sort_made_items spreads its items straight from where they lie, unless it is
// lent scratch for all of them.
inline constexpr std::size_t kSpreadInPlaceFrom = std::size_t{1} << 16;

// The n items that `make` gives, sorted as sort_labels sorts them, into `items`. From
// `in_place_from` labels on, they are spread by their top digit straight from where they lie
// (made once to find the digit's place, once to count, once to be placed), so that besides the
// n items only each digit's range needs scratch of its size, not all n: for two million labels
// that is 48 MB less at the peak. Fewer, or as many as `lent` holds, are made once and sorted
// with scratch of their size (making each three times was a fifth of the sort of 200,000 ids).
void sort_made_items(SortItems& items, std::size_t n, const MakeItems& make,
                     const LabelOf& label_of, SortScratch lent = {},
                     std::size_t in_place_from = kSpreadInPlaceFrom);

}  // namespace quorlin
