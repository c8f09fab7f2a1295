#include "parallel/latch.hpp"

#include "parallel/worker_thread.hpp"

namespace quorlin::parallel::detail {

void SpinLatch::set() noexcept {
    WorkerThread* owner = owner_;
    if (state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping) owner->wake();
}

}  // namespace quorlin::parallel::detail
