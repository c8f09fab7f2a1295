// A unit of work that sits in a queue until some worker runs it.
#pragma once

#include <exception>
#include <utility>

#include "parallel/thread_state.hpp"

namespace quorlin::parallel::detail {

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

}  // namespace quorlin::parallel::detail
