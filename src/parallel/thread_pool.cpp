#include "parallel/thread_pool.hpp"

#include "parallel/pool_size.hpp"

namespace quorlin::parallel {

ThreadPool::ThreadPool(std::size_t threads)
    : registry_(detail::build_registry(threads == 0 ? configured_num_threads() : threads,
                                       "The thread pool could not be built")) {}

ThreadPool::~ThreadPool() = default;

std::size_t ThreadPool::num_threads() const {
    return registry_->num_threads();
}

}  // namespace quorlin::parallel
