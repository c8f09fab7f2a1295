// Merge sort on the worker pool: pieces are sorted with std::sort in parallel, then merged
// pairwise, each merge itself split by binary search so that the last merge uses every core.
// Not stable.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <iterator>
#include <vector>

#include "parallel/pool.hpp"

namespace quorlin {

namespace sort_detail {

// Below these sizes a piece is sorted or merged on one thread.
inline constexpr std::size_t kSortCutoff = 2048;
inline constexpr std::size_t kMergeCutoff = 4096;

// Merges the sorted runs [a, a_end) and [b, b_end) into out.
template <class T, class Less>
void merge(T* a, T* a_end, T* b, T* b_end, T* out, const Less& less) {
    auto la = static_cast<std::size_t>(a_end - a);
    auto lb = static_cast<std::size_t>(b_end - b);
    if (la + lb <= kMergeCutoff) {
        std::merge(std::make_move_iterator(a), std::make_move_iterator(a_end),
                   std::make_move_iterator(b), std::make_move_iterator(b_end), out, less);
        return;
    }
    if (la < lb) {
        std::swap(a, b);
        std::swap(a_end, b_end);
        std::swap(la, lb);
    }
    // The middle of the longer run goes to its final place; both sides merge independently.
    T* pivot = a + la / 2;
    T* split = std::lower_bound(b, b_end, *pivot, less);
    T* out_pivot = out + (pivot - a) + (split - b);
    *out_pivot = std::move(*pivot);
    parallel::join([&] { merge(a, pivot, b, split, out, less); },
                   [&] { merge(pivot + 1, a_end, split, b_end, out_pivot + 1, less); });
}

// Sorts src[0, n). The result ends up in dst when to_dst is set, else in src; the other
// array is scratch space of the same length.
template <class T, class Less>
void sort(T* src, T* dst, std::size_t n, int depth, bool to_dst, const Less& less) {
    if (depth == 0 || n <= kSortCutoff) {
        std::sort(src, src + n, less);
        if (to_dst) std::move(src, src + n, dst);
        return;
    }
    std::size_t half = n / 2;
    parallel::join([&] { sort(src, dst, half, depth - 1, !to_dst, less); },
                   [&] { sort(src + half, dst + half, n - half, depth - 1, !to_dst, less); });
    T* from = to_dst ? src : dst;
    T* to = to_dst ? dst : src;
    merge(from, from + half, from + half, from + n, to, less);
}

// Whether n items are sorted by std::sort on the calling thread.
inline bool one_piece(std::size_t n) {
    return parallel::current_num_threads() <= 1 || n <= kSortCutoff;
}

}  // namespace sort_detail

// Sorts first[0, n), with `scratch` of the same length.
template <class T, class Less>
void parallel_sort(T* first, T* scratch, std::size_t n, const Less& less) {
    if (sort_detail::one_piece(n)) {
        std::sort(first, first + n, less);
        return;
    }
    // About four pieces per thread, so that stealing evens out uneven pieces.
    int depth = std::bit_width(parallel::current_num_threads() - 1) + 2;
    sort_detail::sort(first, scratch, n, depth, false, less);
}

template <class T, class Allocator, class Less>
void parallel_sort(std::vector<T, Allocator>& items, const Less& less) {
    if (sort_detail::one_piece(items.size())) {
        std::sort(items.begin(), items.end(), less);
        return;
    }
    std::vector<T, Allocator> scratch(items.size());
    parallel_sort(items.data(), scratch.data(), items.size(), less);
}

}  // namespace quorlin
