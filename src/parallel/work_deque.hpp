// A worker's double-ended task queue, also used as the pool's shared queue. Guarded by a mutex:
// tasks are coarse, so the lock is rarely contended.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace quorlin::parallel::detail {

class Job;

class WorkDeque {
  public:
    // Adds a job at the newest end; false when the queue could not grow.
    bool push(Job* job) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (size_ == ring_.size() && !grow()) return false;
        ring_[(head_ + size_) & (ring_.size() - 1)] = job;
        ++size_;
        return true;
    }

    // Takes the newest job, or nullptr.
    Job* pop() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (size_ == 0) return nullptr;
        --size_;
        return ring_[(head_ + size_) & (ring_.size() - 1)];
    }

    // Takes the oldest job, or nullptr.
    Job* steal() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (size_ == 0) return nullptr;
        Job* job = ring_[head_];
        head_ = (head_ + 1) & (ring_.size() - 1);
        --size_;
        return job;
    }

  private:
    // Doubles the ring (a power of two), oldest job first.
    bool grow() noexcept {
        try {
            std::vector<Job*> bigger(ring_.empty() ? 32 : 2 * ring_.size());
            for (std::size_t i = 0; i < size_; ++i) {
                bigger[i] = ring_[(head_ + i) & (ring_.size() - 1)];
            }
            ring_.swap(bigger);
            head_ = 0;
            return true;
        } catch (...) {
            return false;
        }
    }

    std::mutex mutex_;
    std::vector<Job*> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quorlin::parallel::detail
