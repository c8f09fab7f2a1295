// A pool of its own, for tests and benchmarks that need an exact thread count.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "parallel/in_worker.hpp"
#include "parallel/registry.hpp"

namespace quorlin::parallel {

class ThreadPool {
  public:
    // Starts `threads` workers (0: as many as the process-wide pool would get). Throws
    // PoolError when they can't be started.
    explicit ThreadPool(std::size_t threads);
    // Joins the workers.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t num_threads() const;

    // Runs f on one of this pool's workers while the caller blocks, so that parallel work
    // started inside f uses this pool. f's exception propagates to the caller.
    template <class F>
    void install(F&& f) {
        detail::install_in(*registry_, std::forward<F>(f));
    }

  private:
    std::unique_ptr<detail::Registry> registry_;
};

}  // namespace quorlin::parallel
