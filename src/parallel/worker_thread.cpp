#include "parallel/worker_thread.hpp"

#include <sched.h>

#include "parallel/job.hpp"
#include "parallel/registry.hpp"
#include "parallel/thread_state.hpp"

namespace quorlin::parallel::detail {

namespace {

// Fruitless searches, each followed by yielding the processor, before a worker gets sleepy.
constexpr unsigned kYieldRounds = 32;

}  // namespace

WorkerThread::WorkerThread(Registry& registry, std::size_t index) noexcept
    : registry_(registry),
      index_(index),
      terminated_(*this),
      random_state_((index + 1) * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<std::uintptr_t>(this)) {
    if (random_state_ == 0) random_state_ = 1;
}

WorkerThread* WorkerThread::current() noexcept {
    return current_worker();
}

bool WorkerThread::push(Job* job) noexcept {
    if (!deque_.push(job)) return false;
    registry_.notify_new_work();
    return true;
}

std::uint64_t WorkerThread::next_random() noexcept {
    // xorshift64*: cheap, and good enough to spread thieves over their victims.
    random_state_ ^= random_state_ >> 12;
    random_state_ ^= random_state_ << 25;
    random_state_ ^= random_state_ >> 27;
    return random_state_ * 0x2545F4914F6CDD1Dull;
}

Job* WorkerThread::find_work() noexcept {
    if (Job* job = deque_.pop()) return job;
    const std::size_t workers = registry_.num_workers();
    if (workers > 1) {
        const std::size_t start = static_cast<std::size_t>(next_random() % workers);
        for (std::size_t k = 0; k < workers; ++k) {
            const std::size_t victim = (start + k) % workers;
            if (victim == index_) continue;
            if (Job* job = registry_.worker(victim).steal()) return job;
        }
    }
    return registry_.take_injected();
}

void WorkerThread::wait_until(SpinLatch& latch) noexcept {
    Sleep& sleep = registry_.sleep();
    unsigned rounds = 0;
    bool sleepy = false;
    std::uint64_t epoch = 0;
    while (!latch.probe()) {
        if (Job* job = find_work()) {
            if (sleepy) sleep.cancel_sleepy();
            sleepy = false;
            rounds = 0;
            job->execute();
        } else if (rounds < kYieldRounds) {
            ++rounds;
            sched_yield();
        } else if (!sleepy) {
            // One more search follows before sleeping.
            epoch = sleep.get_sleepy();
            sleepy = true;
        } else {
            sleep.sleep(slot_, epoch, latch);
            sleepy = false;
            rounds = 0;
        }
    }
    if (sleepy) sleep.cancel_sleepy();
}

void WorkerThread::wake() noexcept {
    registry_.sleep().wake(slot_);
}

void WorkerThread::run() noexcept {
    // A thread that could not get what it needs tells the pool so, and ends: the pool's build
    // then fails as a whole.
    const bool ready = prepare_thread() && set_current_worker(this);
    registry_.report_start(ready);
    if (ready) wait_until(terminated_);
}

WorkerThread::Binding::Binding(WorkerThread& worker) noexcept : previous_(current_worker()) {
    set_current_worker(&worker);
}

WorkerThread::Binding::~Binding() {
    set_current_worker(previous_);
}

}  // namespace quorlin::parallel::detail
