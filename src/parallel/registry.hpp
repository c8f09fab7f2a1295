// A pool's workers (each with its task queue, its place to sleep and the loop that finds work),
// its shared queue for work from outside, and the process-wide pool.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "parallel/sleep.hpp"
#include "parallel/work_deque.hpp"

namespace quorlin::parallel {

// The pool could not be built; the message says why. The pool reports it like any internal
// failure: callers need not tell it apart.
class PoolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace quorlin::parallel

namespace quorlin::parallel::detail {

class Job;
class Registry;

// pthread_create or a stand-in for it.
using ThreadSpawner = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// A worker thread could not be started; error() is pthread_create's error number.
class SpawnFailure : public std::runtime_error {
  public:
    explicit SpawnFailure(int error);
    int error() const noexcept { return error_; }

  private:
    int error_;
};

// One worker of a pool.
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

class Registry {
  public:
    // Starts `threads` (at least 1) workers and waits until each is running. Throws
    // SpawnFailure (ENOMEM when a started worker found no memory for its own state), or
    // std::bad_alloc / std::length_error; workers already started are stopped and joined first.
    static std::unique_ptr<Registry> start(std::size_t threads, ThreadSpawner spawn);
    // A one-thread pool made of whichever thread submits work: it runs the work itself.
    static std::unique_ptr<Registry> on_calling_thread();

    // Stops and joins the workers. No work may be pending.
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    std::size_t num_threads() const noexcept { return runs_inline_ ? 1 : workers_.size(); }
    bool runs_inline() const noexcept { return runs_inline_; }

    std::size_t num_workers() const noexcept { return workers_.size(); }
    WorkerThread& worker(std::size_t index) noexcept { return *workers_[index]; }
    Sleep& sleep() noexcept { return sleep_; }

    // Queues work from outside the pool; throws std::bad_alloc if the queue can't grow.
    void inject(Job* job);
    Job* take_injected() noexcept { return injector_.steal(); }

    // Called after any job was queued: wakes one sleeping worker if workers are sleepy.
    void notify_new_work() noexcept;

    // Called once by each worker as it starts: whether it could get what a worker needs.
    void report_start(bool ready) noexcept;

  private:
    Registry() = default;
    // Waits until every started worker has reported; true when all are ready.
    bool wait_for_starts(std::size_t started) noexcept;

    std::vector<std::unique_ptr<WorkerThread>> workers_;
    std::vector<pthread_t> threads_;
    WorkDeque injector_;
    Sleep sleep_;
    bool runs_inline_ = false;
    std::mutex start_mutex_;
    std::condition_variable start_reported_;
    std::size_t starts_ = 0;
    bool start_failed_ = false;
};

// A pool of `threads` workers. Where the platform has no threads, a pool made of the calling
// thread; any other failure to build it throws PoolError("<failure_message>: <reason>").
std::unique_ptr<Registry> build_registry(std::size_t threads, std::string_view failure_message,
                                         ThreadSpawner spawn = &pthread_create);

// The process-wide pool: built by the first caller (racing callers wait for it), never freed.
Registry& global_registry();

}  // namespace quorlin::parallel::detail
