// Completion signals: a job's latch is set once the job has finished.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace quorlin::parallel::detail {

class WorkerThread;

// Waited for by a worker, which keeps running other jobs meanwhile and may go to sleep; setting
// the latch wakes that worker.
class SpinLatch {
  public:
    explicit SpinLatch(WorkerThread& owner) noexcept : owner_(&owner) {}

    bool probe() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }

    // Once the latch reads set, its owner may return and free it: set() touches nothing of the
    // latch after that point.
    void set() noexcept;

    // The owner is about to sleep: false when the latch is already set.
    bool prepare_sleep() noexcept {
        int expected = kUnset;
        return state_.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel);
    }

    // The owner woke up (the latch may have been set meanwhile; then it stays set).
    void end_sleep() noexcept {
        int expected = kSleeping;
        state_.compare_exchange_strong(expected, kUnset, std::memory_order_acq_rel);
    }

  private:
    static constexpr int kUnset = 0;
    static constexpr int kSleeping = 1;
    static constexpr int kSet = 2;

    std::atomic<int> state_{kUnset};
    WorkerThread* owner_;
};

// Waited for by a thread outside the pool, which blocks.
class LockLatch {
  public:
    // Notifies while holding the mutex: the waiter can't see the flag, return and free the
    // latch before the notification is done.
    void set() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
        done_.notify_all();
    }

    void wait() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return set_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool set_ = false;
};

}  // namespace quorlin::parallel::detail
