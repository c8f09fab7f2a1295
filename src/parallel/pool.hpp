// Work-stealing worker pool: the public surface used by the encoding core.
//
// Each worker has its own task queue; work submitted from threads outside the pool goes through
// one shared queue, and the submitting thread blocks until it is done. A worker that waits for
// a task keeps running other tasks, so nested parallel work can't exhaust the pool. The
// process-wide pool is created on first use and lives until the process exits.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/registry.hpp"
#include "parallel/sleep.hpp"

namespace quorlin::parallel {

// Number of threads of the pool the caller runs in: the worker's own pool on a worker thread,
// else the process-wide pool (created on first use).
std::size_t current_num_threads();

// Index of the calling worker in its pool, from 0 to current_num_threads() - 1; a thread
// outside every pool gets current_num_threads().
std::size_t current_thread_index();

// --- join: two tasks that may run at the same time ---------------------------------------------

namespace detail {

// a's failure if any, else b's.
inline void rethrow_first(std::exception_ptr a, std::exception_ptr b) {
    if (a) std::rethrow_exception(a);
    if (b) std::rethrow_exception(b);
}

// join on a worker: b is offered to the others while a runs here; then b is taken back and run
// here, or, if it was stolen, other work is done until it has finished. a(injected) and
// b(migrated) learn whether they run on another thread than the one that made them.
template <class A, class B>
void join_on(WorkerThread& worker, bool injected, A& a, B& b) {
    StackJob<B, SpinLatch> job_b(b, &worker, worker.registry().sleep(), worker.sleep_slot());
    const bool offered = worker.push(&job_b);
    std::exception_ptr error_a;
    try {
        a(injected);
    } catch (...) {
        error_a = std::current_exception();
    }
    if (!offered) {
        job_b.run_inline();
    } else {
        // Whatever a pushed it has also taken back, so b is the newest job here unless stolen.
        // Older jobs found under it belong to enclosing joins: running them now is as good as
        // later.
        while (!job_b.latch().probe()) {
            Job* job = worker.pop();
            if (job == &job_b) {
                job_b.run_inline();
                break;
            }
            if (job == nullptr) {
                worker.wait_until(job_b.latch());
                break;
            }
            job->execute();
        }
    }
    rethrow_first(error_a, job_b.take_error());
}

// join whose tasks take the flag "runs on another thread than the one that made it".
template <class A, class B>
void join_context(A&& a, B&& b) {
    in_worker([&a, &b](WorkerThread& worker, bool injected) { join_on(worker, injected, a, b); });
}

}  // namespace detail

// Runs a and b, possibly at once, and returns when both have finished. If either throws, the
// other still runs to its end; then the exception of a (else of b) is rethrown.
template <class A, class B>
void join(A&& a, B&& b) {
    auto run_a = [&a](bool) { std::forward<A>(a)(); };
    auto run_b = [&b](bool) { std::forward<B>(b)(); };
    detail::join_context(run_a, run_b);
}

// Runs on_pool on the pool while here runs on the calling thread, for work that only the
// calling thread may do (it holds what the workers must not touch) beside work for the
// workers. Returns when both have finished; then the exception of here (else of on_pool) is
// rethrown. On a worker, or with a pool made of the calling thread, here runs first, then
// on_pool.
template <class P, class H>
void alongside(P&& on_pool, H&& here) {
    detail::Registry& registry = detail::global_registry();
    if (detail::WorkerThread::current() != nullptr || registry.runs_inline()) {
        std::exception_ptr error_here;
        try {
            std::forward<H>(here)();
        } catch (...) {
            error_here = std::current_exception();
        }
        std::exception_ptr error_pool;
        try {
            detail::in_worker([&](detail::WorkerThread&, bool) { std::forward<P>(on_pool)(); });
        } catch (...) {
            error_pool = std::current_exception();
        }
        detail::rethrow_first(error_here, error_pool);
        return;
    }
    auto task = [&on_pool](bool) { std::forward<P>(on_pool)(); };
    detail::StackJob<decltype(task), detail::LockLatch> job(task, nullptr);
    registry.inject(&job);
    std::exception_ptr error_here;
    try {
        std::forward<H>(here)();
    } catch (...) {
        error_here = std::current_exception();
    }
    // The job lives in this frame: wait for it whatever here did.
    job.latch().wait();
    detail::rethrow_first(error_here, job.take_error());
}

// --- loops over [0, n), split adaptively over the pool; results keep item order ---------------

namespace detail {

// Decides whether a piece of a loop is cut in two. The budget starts at the thread count and
// halves with each cut; a piece that was stolen gets a fresh budget, since a steal shows that
// other workers are idle.
class Splitter {
  public:
    explicit Splitter(std::size_t threads) noexcept : threads_(threads), budget_(threads) {}

    bool try_split(std::size_t length, bool migrated) noexcept {
        if (length / 2 < 1) return false;
        if (migrated) {
            budget_ = std::max(budget_ / 2, threads_);
            return true;
        }
        if (budget_ > 0) {
            budget_ /= 2;
            return true;
        }
        return false;
    }

  private:
    std::size_t threads_;
    std::size_t budget_;
};

template <class F>
void for_range(std::size_t begin, std::size_t end, Splitter splitter, bool migrated, F& body) {
    if (!splitter.try_split(end - begin, migrated)) {
        body(begin, end);
        return;
    }
    const std::size_t mid = begin + (end - begin) / 2;
    join_context([&](bool m) { for_range(begin, mid, splitter, m, body); },
                 [&](bool m) { for_range(mid, end, splitter, m, body); });
}

// Fills out (empty on entry) with f(i) for i in [begin, end), in item order.
template <class T, class F>
void map_range(std::size_t begin, std::size_t end, Splitter splitter, bool migrated, F& f,
               std::vector<T>& out) {
    if (!splitter.try_split(end - begin, migrated)) {
        out.reserve(end - begin);
        for (std::size_t i = begin; i < end; ++i) out.push_back(f(i));
        return;
    }
    const std::size_t mid = begin + (end - begin) / 2;
    std::vector<T> right;
    join_context([&](bool m) { map_range(begin, mid, splitter, m, f, out); },
                 [&](bool m) { map_range(mid, end, splitter, m, f, right); });
    out.insert(out.end(), std::make_move_iterator(right.begin()),
               std::make_move_iterator(right.end()));
}

}  // namespace detail

// Calls body(begin, end) on disjoint ranges that together cover [0, n), split adaptively over
// the pool. Failures propagate as in join.
template <class F>
void parallel_for(std::size_t n, F&& body) {
    if (n == 0) return;
    detail::in_worker([n, &body](detail::WorkerThread& worker, bool) {
        detail::for_range(0, n, detail::Splitter(worker.registry().num_threads()), false, body);
    });
}

// The vector of f(0), ..., f(n - 1), computed in parallel and kept in item order.
template <class F>
auto parallel_map(std::size_t n, F&& f)
    -> std::vector<std::remove_cvref_t<std::invoke_result_t<F&, std::size_t>>> {
    using T = std::remove_cvref_t<std::invoke_result_t<F&, std::size_t>>;
    std::vector<T> out;
    if (n == 0) return out;
    detail::in_worker([n, &f, &out](detail::WorkerThread& worker, bool) {
        detail::map_range<T>(0, n, detail::Splitter(worker.registry().num_threads()), false, f,
                             out);
    });
    return out;
}

}  // namespace quorlin::parallel
