// Getting onto a worker: parallel operations run there, whoever starts them.
#pragma once

#include <exception>
#include <utility>

#include "parallel/job.hpp"
#include "parallel/registry.hpp"
#include "parallel/sleep.hpp"

namespace quorlin::parallel::detail {

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
