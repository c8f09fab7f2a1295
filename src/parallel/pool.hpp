// Work-stealing worker pool: the public surface used by the encoding core.
//
// PLACEHOLDER IMPLEMENTATION: runs everything on the calling thread. The real pool replaces
// the bodies below behind the same declarations.
#pragma once

#include <cstddef>
#include <utility>

namespace quorlin::parallel {

// Number of threads of the pool the caller runs in: the worker's own pool on a worker thread,
// else the process-wide pool (created on first use).
std::size_t current_num_threads();

// Runs a and b, possibly at once, and returns when both have finished. If either throws, the
// other still runs to its end; then the exception of a (else of b) is rethrown.
template <class A, class B>
void join(A&& a, B&& b) {
    std::forward<A>(a)();
    std::forward<B>(b)();
}

// Calls body(begin, end) on disjoint ranges that together cover [0, n), split adaptively over
// the pool. Failures propagate as in join.
template <class F>
void parallel_for(std::size_t n, F&& body) {
    if (n > 0) body(std::size_t{0}, n);
}

// A pool of its own, for tests and benchmarks that need an exact thread count. install runs f
// on one of its workers, so that parallel work started inside f uses this pool.
class ThreadPool {
public:
    explicit ThreadPool(std::size_t threads) : threads_(threads) {}
    std::size_t num_threads() const { return threads_; }
    template <class F>
    void install(F&& f) {
        std::forward<F>(f)();
    }

private:
    std::size_t threads_;
};

}  // namespace quorlin::parallel
