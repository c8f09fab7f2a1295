// The hold word of an Encoder: 0 free, n shared holds, all bits set for the exclusive hold.
// Taking a hold never waits; a conflict fails at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorlin {

class HoldWord {
  public:
    static constexpr std::uint32_t kExclusive = 0xFFFFFFFFu;

    bool try_shared() noexcept {
        std::uint32_t seen = word_.load(std::memory_order_relaxed);
        // The largest shared count is kExclusive - 1; one more would read as exclusive.
        while (seen < kExclusive - 1) {
            if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    bool try_exclusive() noexcept {
        std::uint32_t expected = 0;
        return word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void release_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }
    void release_exclusive() noexcept { word_.store(0, std::memory_order_release); }

  private:
    std::atomic<std::uint32_t> word_{0};
};

// Releases the hold it was given on every exit of a scope.
class SharedHold {
  public:
    explicit SharedHold(HoldWord& word) noexcept : word_(word) {}
    ~SharedHold() { word_.release_shared(); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

  private:
    HoldWord& word_;
};

class ExclusiveHold {
  public:
    explicit ExclusiveHold(HoldWord& word) noexcept : word_(word) {}
    ~ExclusiveHold() { word_.release_exclusive(); }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

  private:
    HoldWord& word_;
};

}  // namespace quorlin
