#include "parallel/registry.hpp"

#include <cerrno>
#include <string>
#include <system_error>

#include "module/failure.hpp"
#include "parallel/pool_size.hpp"

namespace quorlin::parallel::detail {

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
    }
    return registry;
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
        throw InternalFailure(std::string(failure_message) + ": " + failure.what());
    } catch (const std::exception& failure) {
        throw InternalFailure(std::string(failure_message) + ": " + failure.what());
    }
}

Registry& global_registry() {
    // A failed build leaves the static unset, so a later call tries again. The pointer keeps the
    // pool reachable for the rest of the process.
    static Registry* const registry =
        build_registry(configured_num_threads(), "The global thread pool has not been initialized.")
            .release();
    return *registry;
}

}  // namespace quorlin::parallel::detail
