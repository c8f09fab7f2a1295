#include "parallel/registry.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#include "parallel/pool_size.hpp"
#include "parallel/thread_state.hpp"

namespace quorlin::parallel::detail {

namespace {

// Fruitless searches, each followed by yielding the processor, before a worker gets sleepy.
constexpr unsigned kYieldRounds = 32;

}  // namespace

WorkerThread::WorkerThread(Registry& registry, std::size_t index) noexcept
    : registry_(registry),
      index_(index),
      terminated_(registry.sleep(), slot_),
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

namespace {

constexpr std::size_t kWorkerStackBytes = 2 * 1024 * 1024;

void* worker_main(void* worker) {
    static_cast<WorkerThread*>(worker)->run();
    return nullptr;
}

// Owns a pthread_attr_t for the worker threads.
class WorkerAttributes {
  public:
    WorkerAttributes() {
        if (const int error = pthread_attr_init(&attr_)) throw SpawnFailure(error);
        if (const int error = pthread_attr_setstacksize(&attr_, kWorkerStackBytes)) {
            pthread_attr_destroy(&attr_);
            throw SpawnFailure(error);
        }
    }
    ~WorkerAttributes() { pthread_attr_destroy(&attr_); }
    WorkerAttributes(const WorkerAttributes&) = delete;
    WorkerAttributes& operator=(const WorkerAttributes&) = delete;
    const pthread_attr_t* get() const noexcept { return &attr_; }

  private:
    pthread_attr_t attr_;
};

}  // namespace

SpawnFailure::SpawnFailure(int error)
    : std::runtime_error(std::system_category().message(error)), error_(error) {}

std::unique_ptr<Registry> Registry::start(std::size_t threads, ThreadSpawner spawn) {
    if (threads == 0) threads = 1;
    std::unique_ptr<Registry> registry(new Registry());
    registry->workers_.reserve(threads);
    registry->threads_.reserve(threads);
    // Every worker exists before any thread starts, so thieves can look at all queues.
    for (std::size_t index = 0; index < threads; ++index) {
        registry->workers_.push_back(std::make_unique<WorkerThread>(*registry, index));
    }
    const WorkerAttributes attributes;
    for (const std::unique_ptr<WorkerThread>& worker : registry->workers_) {
        pthread_t thread;
        // On failure the registry's destructor stops the threads started so far.
        if (const int error = spawn(&thread, attributes.get(), &worker_main, worker.get())) {
            throw SpawnFailure(error);
        }
        registry->threads_.push_back(thread);
        // One worker starts at a time: a worker's check that memory can be had frees what it
        // took, which a worker starting beside it could take before the first has its own.
        if (!registry->wait_for_starts(registry->threads_.size())) throw SpawnFailure(ENOMEM);
    }
    return registry;
}

void Registry::report_start(bool ready) noexcept {
    std::lock_guard<std::mutex> lock(start_mutex_);
    ++starts_;
    if (!ready) start_failed_ = true;
    start_reported_.notify_all();
}

bool Registry::wait_for_starts(std::size_t started) noexcept {
    std::unique_lock<std::mutex> lock(start_mutex_);
    start_reported_.wait(lock, [&] { return starts_ == started; });
    return !start_failed_;
}

std::unique_ptr<Registry> Registry::on_calling_thread() {
    std::unique_ptr<Registry> registry(new Registry());
    registry->runs_inline_ = true;
    return registry;
}

Registry::~Registry() {
    for (const std::unique_ptr<WorkerThread>& worker : workers_) worker->terminate();
    for (const pthread_t thread : threads_) pthread_join(thread, nullptr);
}

void Registry::inject(Job* job) {
    if (!injector_.push(job)) throw std::bad_alloc();
    notify_new_work();
}

void Registry::notify_new_work() noexcept {
    if (!sleep_.new_work()) return;
    for (const std::unique_ptr<WorkerThread>& worker : workers_) {
        if (sleep_.wake_if_asleep(worker->sleep_slot())) return;
    }
}

std::unique_ptr<Registry> build_registry(std::size_t threads, std::string_view failure_message,
                                         ThreadSpawner spawn) {
    try {
        return Registry::start(threads, spawn);
    } catch (const SpawnFailure& failure) {
        if (failure.error() == ENOSYS || failure.error() == ENOTSUP) {
            return Registry::on_calling_thread();
        }
        throw PoolError(std::string(failure_message) + ": " + failure.what());
    } catch (const std::exception& failure) {
        throw PoolError(std::string(failure_message) + ": " + failure.what());
    }
}

namespace {

std::atomic<Registry*> g_registry{nullptr};
std::mutex g_registry_mutex;

// A forked child inherits the pool's memory but none of its threads: work handed to it would
// wait forever. The child forgets it (its memory stays, unreachable but harmless) and builds a
// pool of its own, of the same size, on first use. The mutex may have been copied locked.
void forget_pool_in_child() {
    g_registry.store(nullptr, std::memory_order_relaxed);
    new (&g_registry_mutex) std::mutex();
}

}  // namespace

Registry& global_registry() {
    if (Registry* registry = g_registry.load(std::memory_order_acquire)) return *registry;
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    if (Registry* registry = g_registry.load(std::memory_order_acquire)) return *registry;
    static const bool at_fork_registered =
        pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    (void)at_fork_registered;
    // The size is read once per process; a failed build leaves the pool unset, so a later call
    // tries again. The pointer keeps the pool reachable for the rest of the process.
    static const std::size_t threads = configured_num_threads();
    Registry* registry =
        build_registry(threads, "The global thread pool has not been initialized.").release();
    g_registry.store(registry, std::memory_order_release);
    return *registry;
}

}  // namespace quorlin::parallel::detail

namespace quorlin::parallel {

ThreadPool::ThreadPool(std::size_t threads)
    : registry_(detail::build_registry(threads == 0 ? configured_num_threads() : threads,
                                       "The thread pool could not be built")) {}

ThreadPool::~ThreadPool() = default;

std::size_t ThreadPool::num_threads() const {
    return registry_->num_threads();
}

}  // namespace quorlin::parallel
