#include "parallel/pool.hpp"

#include "parallel/registry.hpp"

namespace quorlin::parallel {

std::size_t current_num_threads() {
    if (const detail::WorkerThread* worker = detail::WorkerThread::current()) {
        return worker->registry().num_threads();
    }
    return detail::global_registry().num_threads();
}

std::size_t current_thread_index() {
    if (const detail::WorkerThread* worker = detail::WorkerThread::current()) {
        return worker->index();
    }
    return detail::global_registry().num_threads();
}

}  // namespace quorlin::parallel
