#include "core/label_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>

#include "core/hash.hpp"
#include "core/parallel_sort.hpp"
#include "parallel/pool.hpp"

namespace quorlin {

SortItem sort_item(std::string_view label, std::uint32_t id) {
    const LabelKey key = LabelKey::of(label);
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(label.size(), kLongLabel));
    return SortItem{__builtin_bswap64(key.w0), __builtin_bswap64(key.w1), id, size};
}

bool sort_less_past_prefixes(const SortItem& a, const SortItem& b, const LabelOf& label_of) {
    // Equal prefixes: the first min(size, 16) bytes agree and the shorter label's padding
    // matches zeros of the longer one. A label of 16 bytes or fewer is then a prefix of the
    // other (its length is exact: kLongLabel is longer than any such).
    if (std::min(a.size, b.size) <= 16) return a.size < b.size;
    const std::string_view x = label_of(a.id);
    const std::string_view y = label_of(b.id);
    const std::size_t common = std::min(x.size(), y.size());
    const int c = std::memcmp(x.data() + 16, y.data() + 16, common - 16);
    if (c != 0) return c < 0;
    return x.size() < y.size();
}

namespace {

using Key = unsigned __int128;
constexpr unsigned kKeyBits = 128;

Key key_of(const SortItem& item) noexcept {
    return static_cast<Key>(item.prefix0) << 64 | item.prefix1;
}

// Bits [bit, bit + width) of the key, counted from its top; bits past its end read as zero.
// bit < 128.
std::size_t digit(Key key, unsigned bit, unsigned width) noexcept {
    return static_cast<std::size_t>((key << bit) >> (kKeyBits - width));
}

// The bits in which the keys of [first, last) differ from `k0`.
Key differing_bits(const SortItem* first, const SortItem* last, Key k0) noexcept {
    Key diff = 0;
    for (const SortItem* p = first; p < last; ++p) diff |= key_of(*p) ^ k0;
    return diff;
}

// The first set bit of `diff`, counted from its top; 128 when there is none.
unsigned first_bit(Key diff) noexcept {
    const auto high = static_cast<std::uint64_t>(diff >> 64);
    const auto low = static_cast<std::uint64_t>(diff);
    if (high != 0) return static_cast<unsigned>(std::countl_zero(high));
    return low != 0 ? 64 + static_cast<unsigned>(std::countl_zero(low)) : kKeyBits;
}

// A range whose keys are all equal holds labels that agree in their first depth + 16 bytes, or
// end within them. Those that end come first, by length (equal keys make each a prefix of the
// longer ones), and the others are to be keyed anew by their next 16 bytes, so that labels
// sharing a long start (URLs, paths) are still sorted by digits: src, dst and n move past the
// ended ones, and depth on by 16. Returns how many ended, which stay at the front of src.
std::size_t step_past_ended(SortItem*& src, SortItem*& dst, std::size_t& n, std::size_t& depth) {
    SortItem* const ended =
        std::partition(src, src + n, [&](const SortItem& item) { return item.size <= depth + 16; });
    std::sort(src, ended, [](const SortItem& a, const SortItem& b) { return a.size < b.size; });
    const auto count = static_cast<std::size_t>(ended - src);
    src += count;
    dst += count;
    n -= count;
    depth += 16;
    return count;
}

void rekey(SortItem& item, std::size_t depth, const LabelOf& label_of) {
    const LabelKey key = LabelKey::of(label_of(item.id).substr(depth));
    item.prefix0 = __builtin_bswap64(key.w0);
    item.prefix1 = __builtin_bswap64(key.w1);
}

// Labels are keyed anew only this deep; beyond, a shared start is compared whole. It bounds the
// recursion of the digits (at most 16 levels a key) for labels that part one byte at a time.
constexpr std::size_t kMostKeyedDepth = 128;

// Ranges up to this size are sorted by comparisons: a radix pass costs more there.
constexpr std::size_t kCompareBelow = 48;
// Digits of one byte below the top level: 256 counters stay in the first-level cache.
constexpr unsigned kDigitBits = 8;
// Labels from which the top level runs on the pool, its digit wide enough to give every worker
// many ranges to take.
constexpr std::size_t kParallelFrom = 8192;
constexpr unsigned kTopDigitBits = 11;

// sort_less as a comparator.
struct LessItems {
    const LabelOf& label_of;
    bool operator()(const SortItem& a, const SortItem& b) const {
        return sort_less(a, b, label_of);
    }
};

// Sorts src[0, n), keyed at `depth`; the result lands in dst when to_dst, else in src; the other
// is scratch.
void radix_sort(SortItem* src, SortItem* dst, std::size_t n, bool to_dst, std::size_t depth,
                const LabelOf& label_of) {
    unsigned bit = kKeyBits;
    while (n > kCompareBelow) {
        bit = first_bit(differing_bits(src, src + n, key_of(*src)));
        if (bit < kKeyBits || depth + 16 >= kMostKeyedDepth) break;
        const std::size_t ended = step_past_ended(src, dst, n, depth);
        if (to_dst) std::copy(src - ended, src, dst - ended);
        for (std::size_t i = 0; i < n; ++i) rekey(src[i], depth, label_of);
    }
    if (bit == kKeyBits) {
        std::sort(src, src + n, LessItems{label_of});
        if (to_dst) std::copy(src, src + n, dst);
        return;
    }
    std::array<std::size_t, std::size_t{1} << kDigitBits> count{};
    for (std::size_t i = 0; i < n; ++i) ++count[digit(key_of(src[i]), bit, kDigitBits)];
    std::array<std::size_t, std::size_t{1} << kDigitBits> next;
    std::size_t start = 0;
    for (std::size_t d = 0; d < count.size(); ++d) {
        next[d] = start;
        start += count[d];
    }
    for (std::size_t i = 0; i < n; ++i)
        dst[next[digit(key_of(src[i]), bit, kDigitBits)]++] = src[i];
    start = 0;
    for (std::size_t d = 0; d < count.size(); ++d) {
        if (count[d] != 0) {
            radix_sort(dst + start, src + start, count[d], !to_dst, depth, label_of);
        }
        start += count[d];
    }
}

constexpr std::size_t kTopDigits = std::size_t{1} << kTopDigitBits;

// Spreads n items, in `pieces` pieces, into dst by their top digit at `bit`: each piece counted,
// then placed, by its own task. `for_piece(p, f)` calls f on every item of piece p, in the same
// order both times. Returns where each digit's range starts, and n at the end.
template <class ForPiece>
std::vector<std::size_t> spread_by_digit(std::size_t pieces, std::size_t n, unsigned bit,
                                         ForPiece&& for_piece, SortItem* dst) {
    // counts[p * kTopDigits + d]: labels of digit d in piece p; then where piece p puts them.
    std::vector<std::size_t> counts(pieces * kTopDigits, 0);
    parallel::parallel_for(pieces, [&](std::size_t first, std::size_t last) {
        for (std::size_t p = first; p < last; ++p) {
            std::size_t* count = counts.data() + p * kTopDigits;
            for_piece(
                p, [&](const SortItem& item) { ++count[digit(key_of(item), bit, kTopDigitBits)]; });
        }
    });
    std::vector<std::size_t> digit_start(kTopDigits + 1, 0);
    std::size_t start = 0;
    for (std::size_t d = 0; d < kTopDigits; ++d) {
        digit_start[d] = start;
        for (std::size_t p = 0; p < pieces; ++p) {
            const std::size_t c = counts[p * kTopDigits + d];
            counts[p * kTopDigits + d] = start;
            start += c;
        }
    }
    digit_start[kTopDigits] = n;
    parallel::parallel_for(pieces, [&](std::size_t first, std::size_t last) {
        for (std::size_t p = first; p < last; ++p) {
            std::size_t* next = counts.data() + p * kTopDigits;
            for_piece(p, [&](const SortItem& item) {
                dst[next[digit(key_of(item), bit, kTopDigitBits)]++] = item;
            });
        }
    });
    return digit_start;
}

// Keys with the bits in which all of them agree taken out: the bits that differ somewhere,
// packed at the top of the key in their order. Two keys compare as their packed forms do (the
// first bit in which they differ is one of the packed ones) and are equal exactly when those
// are, so a sort of packed keys is the sort of the keys. Each digit of the sort then carries
// only bits that tell labels apart: a decimal id's bytes vary in 4 bits of 8, so its digits
// otherwise split a range 10 ways, not 256, and the sort runs twice the passes.
class KeyPacking {
  public:
    // The packing of the bits set in `diff`, when they fit in one word and lie in few runs
    // (each run costs a shift and a mask a key); nullopt otherwise.
    static std::optional<KeyPacking> of(Key diff) noexcept {
        const int differing = std::popcount(static_cast<std::uint64_t>(diff >> 64)) +
                              std::popcount(static_cast<std::uint64_t>(diff));
        if (differing == 0 || differing > 64) return std::nullopt;
        KeyPacking packing;
        unsigned to = 0;  // bits packed so far, from the top
        for (unsigned word = 0; word < 2; ++word) {
            std::uint64_t bits = static_cast<std::uint64_t>(word == 0 ? diff >> 64 : diff);
            while (bits != 0) {
                if (packing.count_ == kMostRuns) return std::nullopt;
                // The run's top bit, counted from the word's top, and its width.
                const auto from = static_cast<unsigned>(std::countl_zero(bits));
                const auto width = static_cast<unsigned>(std::countl_one(bits << from));
                // The run's bits moved to bits [to, to + width) of the packed word, from its top.
                const std::uint64_t below =
                    from + width == 64 ? 0 : ~std::uint64_t{0} >> (from + width);
                const std::uint64_t run = bits & ~below;
                packing.runs_[packing.count_++] = {word, run,
                                                   static_cast<int>(from) - static_cast<int>(to)};
                bits &= ~run;
                to += width;
            }
        }
        return packing;
    }

    void pack(SortItem& item) const noexcept {
        const std::uint64_t words[2] = {item.prefix0, item.prefix1};
        std::uint64_t packed = 0;
        for (unsigned i = 0; i < count_; ++i) {
            const Run& run = runs_[i];
            const std::uint64_t bits = words[run.word] & run.mask;
            packed |= run.shift >= 0 ? bits << run.shift : bits >> -run.shift;
        }
        item.prefix0 = packed;
        item.prefix1 = 0;
    }

  private:
    static constexpr unsigned kMostRuns = 16;
    struct Run {
        unsigned word;
        std::uint64_t mask;
        int shift;  // left, where the run moves up
    };
    std::array<Run, kMostRuns> runs_{};
    unsigned count_ = 0;
};

// Packs the keys of items [0, n), which differ only in the bits of `diff`, where a packing fits;
// on the pool. Returns the first bit of their keys' first difference.
unsigned pack_keys(SortItem* items, std::size_t n, Key diff) {
    const std::optional<KeyPacking> packing = KeyPacking::of(diff);
    if (!packing) return first_bit(diff);
    parallel::parallel_for(n, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) packing->pack(items[i]);
    });
    return 0;
}

// The top level on the pool: the keys' first difference found (keyed anew while they share
// their 16 bytes), the labels spread by a wide digit from there into scratch (each piece of the
// input counted, then placed, by its own task), and each digit's range sorted back into place
// by whichever worker takes it.
void parallel_radix_sort(SortItem* src, SortItem* dst, std::size_t n, const LabelOf& label_of) {
    std::size_t depth = 0;
    Key diff = 0;
    for (;;) {
        const std::size_t pieces = 4 * parallel::current_num_threads();
        const std::size_t piece_size = (n + pieces - 1) / pieces;
        const Key k0 = key_of(src[0]);
        std::vector<Key> diffs(pieces, 0);
        parallel::parallel_for(pieces, [&](std::size_t first, std::size_t last) {
            for (std::size_t p = first; p < last; ++p) {
                diffs[p] = differing_bits(src + std::min(n, p * piece_size),
                                          src + std::min(n, (p + 1) * piece_size), k0);
            }
        });
        for (Key d : diffs) diff |= d;
        if (diff != 0) break;
        if (depth + 16 >= kMostKeyedDepth) {
            // Every label shares a long start: only comparisons tell them apart.
            parallel_sort(src, dst, n, LessItems{label_of});
            return;
        }
        step_past_ended(src, dst, n, depth);
        parallel::parallel_for(n, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) rekey(src[i], depth, label_of);
        });
        if (n < kParallelFrom) {
            radix_sort(src, dst, n, false, depth, label_of);
            return;
        }
    }
    const unsigned top = pack_keys(src, n, diff);
    const std::size_t pieces = 4 * parallel::current_num_threads();
    const std::size_t piece_size = (n + pieces - 1) / pieces;
    const std::vector<std::size_t> digit_start = spread_by_digit(
        pieces, n, top,
        [&](std::size_t p, auto&& each) {
            const SortItem* const end = src + std::min(n, (p + 1) * piece_size);
            for (const SortItem* a = src + std::min(n, p * piece_size); a < end; ++a) each(*a);
        },
        dst);
    parallel::parallel_for(kTopDigits, [&](std::size_t first, std::size_t last) {
        for (std::size_t d = first; d < last; ++d) {
            const std::size_t begin = digit_start[d];
            const std::size_t end = digit_start[d + 1];
            if (end > begin) {
                radix_sort(dst + begin, src + begin, end - begin, true, depth, label_of);
            }
        }
    });
}

// Makes all n items into `items`, on the pool.
void make_all(SortItems& items, std::size_t n, const MakeItems& make) {
    items.resize(n);
    parallel::parallel_for(
        n, [&](std::size_t first, std::size_t last) { make(first, last, items.data() + first); });
}

}  // namespace

void sort_made_items(SortItems& items, std::size_t n, const MakeItems& make,
                     const LabelOf& label_of, SortScratch lent, std::size_t in_place_from) {
    const std::size_t threads = parallel::current_num_threads();
    if (n < kParallelFrom || threads <= 1 || n < in_place_from || n <= lent.size) {
        make_all(items, n, make);
        sort_labels(items, label_of, lent);
        return;
    }
    const std::size_t pieces = 4 * threads;
    const std::size_t piece_size = (n + pieces - 1) / pieces;
    // Runs the items of piece p through `each`, a run of them made at a time.
    constexpr std::size_t kRun = 256;
    // Packed once the bits in which the keys differ are known.
    std::optional<KeyPacking> packing;
    auto over_piece = [&](std::size_t p, auto&& each) {
        std::array<SortItem, kRun> run;
        const std::size_t end = std::min(n, (p + 1) * piece_size);
        for (std::size_t at = std::min(n, p * piece_size); at < end; at += kRun) {
            const std::size_t m = std::min(kRun, end - at);
            make(at, at + m, run.data());
            if (packing) {
                for (std::size_t i = 0; i < m; ++i) packing->pack(run[i]);
            }
            for (std::size_t i = 0; i < m; ++i) each(run[i]);
        }
    };
    SortItem first_item;
    make(0, 1, &first_item);
    const Key k0 = key_of(first_item);
    std::vector<Key> diffs(pieces, 0);
    parallel::parallel_for(pieces, [&](std::size_t first, std::size_t last) {
        for (std::size_t p = first; p < last; ++p) {
            over_piece(p, [&](const SortItem& item) { diffs[p] |= key_of(item) ^ k0; });
        }
    });
    Key diff = 0;
    for (Key d : diffs) diff |= d;
    if (diff == 0) {
        // Every label shares its first 16 bytes: keyed anew deeper, by the sort of all items.
        make_all(items, n, make);
        sort_labels(items, label_of);
        return;
    }
    packing = KeyPacking::of(diff);
    items.resize(n);
    SortItem* const placed = items.data();
    const std::vector<std::size_t> digit_start =
        spread_by_digit(pieces, n, packing ? 0 : first_bit(diff), over_piece, placed);
    parallel::parallel_for(kTopDigits, [&](std::size_t first, std::size_t last) {
        // One scratch for the task's digits, as large as the largest of their ranges.
        std::size_t most = 0;
        for (std::size_t d = first; d < last; ++d) {
            most = std::max(most, digit_start[d + 1] - digit_start[d]);
        }
        LargeArray<SortItem> scratch(most > kCompareBelow ? most : 0);
        for (std::size_t d = first; d < last; ++d) {
            const std::size_t begin = digit_start[d];
            radix_sort(placed + begin, scratch.get(), digit_start[d + 1] - begin, false, 0,
                       label_of);
        }
    });
}

void sort_labels(SortItems& items, const LabelOf& label_of, SortScratch lent) {
    const std::size_t n = items.size();
    if (n <= kCompareBelow) {
        std::sort(items.begin(), items.end(), LessItems{label_of});
        return;
    }
    // Every slot of the scratch is written before it is read.
    LargeArray<SortItem> own(n <= lent.size ? 0 : n);
    SortItem* const scratch = n <= lent.size ? lent.data : own.get();
    if (n < kParallelFrom || parallel::current_num_threads() <= 1) {
        pack_keys(items.data(), n,
                  differing_bits(items.data(), items.data() + n, key_of(items[0])));
        radix_sort(items.data(), scratch, n, false, 0, label_of);
    } else {
        parallel_radix_sort(items.data(), scratch, n, label_of);
    }
}

}  // namespace quorlin
