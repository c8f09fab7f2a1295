// A pool's workers, its shared queue for work from outside, and the process-wide pool.
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
#include "parallel/worker_thread.hpp"

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
