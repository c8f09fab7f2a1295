// join: two tasks that may run at the same time.
#pragma once

#include <exception>
#include <utility>

#include "parallel/in_worker.hpp"
#include "parallel/job.hpp"
#include "parallel/registry.hpp"
#include "parallel/sleep.hpp"

namespace quorlin::parallel {

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

}  // namespace quorlin::parallel
