// One worker of a pool: its task queue, its place to sleep, and the loop that finds work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "parallel/latch.hpp"
#include "parallel/sleep.hpp"
#include "parallel/work_deque.hpp"

namespace quorlin::parallel::detail {

class Job;
class Registry;

class WorkerThread {
  public:
    WorkerThread(Registry& registry, std::size_t index) noexcept;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // The worker the calling thread acts as, or nullptr outside every pool.
    static WorkerThread* current() noexcept;

    Registry& registry() const noexcept { return registry_; }
    std::size_t index() const noexcept { return index_; }
    SleepSlot& sleep_slot() noexcept { return slot_; }

    // Offers a job to the other workers; false when the queue could not grow.
    bool push(Job* job) noexcept;
    // Takes back the newest job of this worker's queue.
    Job* pop() noexcept { return deque_.pop(); }
    // Takes the oldest job of this worker's queue, for another worker.
    Job* steal() noexcept { return deque_.steal(); }

    // Runs other jobs until latch is set, sleeping when there are none.
    void wait_until(SpinLatch& latch) noexcept;

    // Wakes this worker if it sleeps (one of its latches was set).
    void wake() noexcept;

    // The body of a pool thread: runs jobs until terminate() is called.
    void run() noexcept;
    void terminate() noexcept { terminated_.set(); }

    // Makes a worker the calling thread's current worker for the binding's lifetime.
    class Binding {
      public:
        explicit Binding(WorkerThread& worker) noexcept;
        ~Binding();
        Binding(const Binding&) = delete;
        Binding& operator=(const Binding&) = delete;

      private:
        WorkerThread* previous_;
    };

  private:
    // Own newest job, else another worker's oldest, else the shared queue's oldest.
    Job* find_work() noexcept;
    std::uint64_t next_random() noexcept;

    Registry& registry_;
    std::size_t index_;
    WorkDeque deque_;
    SleepSlot slot_;
    SpinLatch terminated_;
    std::uint64_t random_state_;
};

}  // namespace quorlin::parallel::detail
