#include "parallel/sleep.hpp"

namespace quorlin::parallel::detail {

void SpinLatch::set() noexcept {
    // Once the state reads set, the latch may be gone: only the copies below are used after.
    Sleep* sleep = sleep_;
    SleepSlot* slot = slot_;
    if (state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping) sleep->wake(*slot);
}

void Sleep::sleep(SleepSlot& slot, std::uint64_t epoch, SpinLatch& latch) noexcept {
    // From here on, setting the latch wakes this slot.
    if (latch.prepare_sleep()) {
        std::unique_lock<std::mutex> lock(slot.mutex);
        if (!slot.wake_pending) {
            slot.asleep.store(true, std::memory_order_relaxed);
            sleeping_.fetch_add(1, std::memory_order_seq_cst);
            if (epoch_.load(std::memory_order_seq_cst) != epoch) {
                // Work came after the last search: stay awake.
                slot.asleep.store(false, std::memory_order_relaxed);
                sleeping_.fetch_sub(1, std::memory_order_seq_cst);
            } else {
                // The waker clears asleep and the sleeping count, so that two wake-ups never
                // go to the same worker.
                slot.wakeup.wait(lock, [&slot] { return slot.wake_pending; });
            }
        }
        slot.wake_pending = false;
        lock.unlock();
        latch.end_sleep();
    }
    sleepy_.fetch_sub(1, std::memory_order_seq_cst);
}

void Sleep::wake_locked(SleepSlot& slot) noexcept {
    if (slot.asleep.load(std::memory_order_relaxed)) {
        slot.asleep.store(false, std::memory_order_relaxed);
        sleeping_.fetch_sub(1, std::memory_order_seq_cst);
    }
    slot.wake_pending = true;
    slot.wakeup.notify_one();
}

bool Sleep::wake_if_asleep(SleepSlot& slot) noexcept {
    if (!slot.asleep.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!slot.asleep.load(std::memory_order_relaxed)) return false;
    wake_locked(slot);
    return true;
}

void Sleep::wake(SleepSlot& slot) noexcept {
    std::lock_guard<std::mutex> lock(slot.mutex);
    wake_locked(slot);
}

}  // namespace quorlin::parallel::detail
