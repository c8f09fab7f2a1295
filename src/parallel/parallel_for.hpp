// Parallel loops over [0, n), split adaptively over the pool; results keep item order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/in_worker.hpp"
#include "parallel/join.hpp"
#include "parallel/registry.hpp"

namespace quorlin::parallel {

namespace detail {

// Decides whether a piece of a loop is cut in two. The budget starts at the thread count and
// halves with each cut; a piece that was stolen gets a fresh budget, since a steal shows that
// other workers are idle.
class Splitter {
  public:
    explicit Splitter(std::size_t threads) noexcept : threads_(threads), budget_(threads) {}

    bool try_split(std::size_t length, bool migrated) noexcept {
        if (length / 2 < 1) return false;
        if (migrated) {
            budget_ = std::max(budget_ / 2, threads_);
            return true;
        }
        if (budget_ > 0) {
            budget_ /= 2;
            return true;
        }
        return false;
    }

  private:
    std::size_t threads_;
    std::size_t budget_;
};

template <class F>
void for_range(std::size_t begin, std::size_t end, Splitter splitter, bool migrated, F& body) {
    if (!splitter.try_split(end - begin, migrated)) {
        body(begin, end);
        return;
    }
    const std::size_t mid = begin + (end - begin) / 2;
    join_context([&](bool m) { for_range(begin, mid, splitter, m, body); },
                 [&](bool m) { for_range(mid, end, splitter, m, body); });
}

// Fills out (empty on entry) with f(i) for i in [begin, end), in item order.
template <class T, class F>
void map_range(std::size_t begin, std::size_t end, Splitter splitter, bool migrated, F& f,
               std::vector<T>& out) {
    if (!splitter.try_split(end - begin, migrated)) {
        out.reserve(end - begin);
        for (std::size_t i = begin; i < end; ++i) out.push_back(f(i));
        return;
    }
    const std::size_t mid = begin + (end - begin) / 2;
    std::vector<T> right;
    join_context([&](bool m) { map_range(begin, mid, splitter, m, f, out); },
                 [&](bool m) { map_range(mid, end, splitter, m, f, right); });
    out.insert(out.end(), std::make_move_iterator(right.begin()),
               std::make_move_iterator(right.end()));
}

}  // namespace detail

// Calls body(begin, end) on disjoint ranges that together cover [0, n), split adaptively over
// the pool. Failures propagate as in join.
template <class F>
void parallel_for(std::size_t n, F&& body) {
    if (n == 0) return;
    detail::in_worker([n, &body](detail::WorkerThread& worker, bool) {
        detail::for_range(0, n, detail::Splitter(worker.registry().num_threads()), false, body);
    });
}

// The vector of f(0), ..., f(n - 1), computed in parallel and kept in item order.
template <class F>
auto parallel_map(std::size_t n, F&& f)
    -> std::vector<std::remove_cvref_t<std::invoke_result_t<F&, std::size_t>>> {
    using T = std::remove_cvref_t<std::invoke_result_t<F&, std::size_t>>;
    std::vector<T> out;
    if (n == 0) return out;
    detail::in_worker([n, &f, &out](detail::WorkerThread& worker, bool) {
        detail::map_range<T>(0, n, detail::Splitter(worker.registry().num_threads()), false, f,
                             out);
    });
    return out;
}

}  // namespace quorlin::parallel
