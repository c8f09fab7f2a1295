// Latches, which say that a job is done, and how idle workers go to sleep and get woken without
// losing a wake-up.
//
// A worker that found no work many times announces that it is getting sleepy and remembers the
// work epoch, searches once more, and then sleeps unless the epoch moved. Whoever queues work
// first pushes it (under the queue's mutex) and then, if any worker is sleepy, moves the epoch
// and wakes one sleeper. Either the sleepy worker's last search sees the new job, or the queuing
// side sees the worker sleepy and the moved epoch keeps it awake or a wake-up reaches it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace quorlin::parallel::detail {

class SpinLatch;

// Where one worker sleeps.
struct SleepSlot {
    std::mutex mutex;
    std::condition_variable wakeup;
    bool wake_pending = false;        // guarded by mutex
    std::atomic<bool> asleep{false};  // written under mutex, read without it as a hint
};

class Sleep {
  public:
    // Marks the caller sleepy; returns the epoch its last search must be compared against.
    std::uint64_t get_sleepy() noexcept {
        sleepy_.fetch_add(1, std::memory_order_seq_cst);
        return epoch_.load(std::memory_order_seq_cst);
    }

    // A sleepy worker found work after all.
    void cancel_sleepy() noexcept { sleepy_.fetch_sub(1, std::memory_order_seq_cst); }

    // Sleeps in slot until woken, unless work came since epoch or latch is set. Ends the sleepy
    // state.
    void sleep(SleepSlot& slot, std::uint64_t epoch, SpinLatch& latch) noexcept;

    // Called after queuing work: true when a sleeping worker should be woken.
    bool new_work() noexcept {
        if (sleepy_.load(std::memory_order_seq_cst) == 0) return false;
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        return sleeping_.load(std::memory_order_seq_cst) > 0;
    }

    // Wakes the worker of slot if it sleeps; true when it did.
    bool wake_if_asleep(SleepSlot& slot) noexcept;

    // Wakes the worker of slot, or keeps it from falling asleep next (its latch was set).
    void wake(SleepSlot& slot) noexcept;

  private:
    void wake_locked(SleepSlot& slot) noexcept;

    std::atomic<std::size_t> sleepy_{0};
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<std::size_t> sleeping_{0};
};

// Completion signals: a job's latch is set once the job has finished.
// Waited for by a worker, which keeps running other jobs meanwhile and may go to sleep; setting
// the latch wakes that worker.
class SpinLatch {
  public:
    // Setting the latch wakes the worker that sleeps in `slot` of `sleep` while it waits.
    SpinLatch(Sleep& sleep, SleepSlot& slot) noexcept : sleep_(&sleep), slot_(&slot) {}

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
    Sleep* sleep_;
    SleepSlot* slot_;
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
