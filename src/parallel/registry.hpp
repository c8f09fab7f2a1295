// A pool's workers (each with its task queue, its place to sleep and the loop that finds work),
// its shared queue for work from outside, the jobs they run, the way onto a worker from any
// thread, the process-wide pool, and pools of their own for tests and benchmarks.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "parallel/sleep.hpp"
#include "parallel/thread_state.hpp"
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

// A unit of work that sits in a queue until some worker runs it.
class Job {
  public:
    // Runs the job on the calling worker, which took it from a queue, and sets its latch.
    virtual void execute() noexcept = 0;

  protected:
    ~Job() = default;
};

// A job that lives in the stack frame of the code that waits for it. f is called with true when
// the job runs on another worker than its creator (it was stolen). A failure is kept for the
// waiting side to rethrow; the latch L is set when the job ran through a queue.
template <class F, class L>
class StackJob final : public Job {
  public:
    template <class... LatchArgs>
    StackJob(F& f, WorkerThread* creator, LatchArgs&&... latch_args)
        : f_(f), creator_(creator), latch_(std::forward<LatchArgs>(latch_args)...) {}

    void execute() noexcept override {
        run(current_worker() != creator_);
        latch_.set();
    }

    // Runs the job on its creator, which took it back before anyone else did.
    void run_inline() noexcept { run(false); }

    L& latch() noexcept { return latch_; }
    std::exception_ptr take_error() noexcept { return std::move(error_); }

  private:
    void run(bool migrated) noexcept {
        try {
            f_(migrated);
        } catch (...) {
            error_ = std::current_exception();
        }
    }

    F& f_;
    WorkerThread* creator_;
    L latch_;
    std::exception_ptr error_;
};

// Getting onto a worker: parallel operations run there, whoever starts them.
// Runs op(worker, injected) on a worker of registry for a thread that is not one of its
// workers, blocking until op is done; op's failure is rethrown here. injected is true when op
// runs on a pool thread other than the caller.
template <class Op>
void run_injected(Registry& registry, Op& op) {
    if (registry.runs_inline()) {
        WorkerThread worker(registry, 0);
        const WorkerThread::Binding binding(worker);
        op(worker, false);
        return;
    }
    auto task = [&op](bool) { op(*WorkerThread::current(), true); };
    StackJob<decltype(task), LockLatch> job(task, nullptr);
    registry.inject(&job);
    job.latch().wait();
    if (std::exception_ptr error = job.take_error()) std::rethrow_exception(error);
}

// Runs op(worker, injected) on the current worker, or submits it whole to the process-wide pool
// from a thread outside every pool.
template <class Op>
void in_worker(Op&& op) {
    if (WorkerThread* worker = WorkerThread::current()) {
        op(*worker, false);
        return;
    }
    run_injected(global_registry(), op);
}

// Runs f on a worker of registry (at once when already on one of them).
template <class F>
void install_in(Registry& registry, F&& f) {
    auto op = [&f](WorkerThread&, bool) { std::forward<F>(f)(); };
    WorkerThread* worker = WorkerThread::current();
    if (worker != nullptr && &worker->registry() == &registry) {
        op(*worker, false);
        return;
    }
    // A worker of another pool blocks here rather than running its own pool's jobs meanwhile:
    // the other pool's threads make progress on f regardless.
    run_injected(registry, op);
}

}  // namespace quorlin::parallel::detail

namespace quorlin::parallel {

// A pool of its own, for tests and benchmarks that need an exact thread count.
class ThreadPool {
  public:
    // Starts `threads` workers (0: as many as the process-wide pool would get). Throws
    // PoolError when they can't be started.
    explicit ThreadPool(std::size_t threads);
    // Joins the workers.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t num_threads() const;

    // Runs f on one of this pool's workers while the caller blocks, so that parallel work
    // started inside f uses this pool. f's exception propagates to the caller.
    template <class F>
    void install(F&& f) {
        detail::install_in(*registry_, std::forward<F>(f));
    }

  private:
    std::unique_ptr<detail::Registry> registry_;
};

}  // namespace quorlin::parallel
