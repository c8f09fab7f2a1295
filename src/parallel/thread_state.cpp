#include "parallel/thread_state.hpp"

#include <cxxabi.h>
#include <pthread.h>

#include <cstdlib>

namespace quorlin::parallel {

namespace {

// Larger than the per-thread blocks that a first throw allocates (the runtime's exception
// state, the table of the thread's dynamic blocks), and below the size that malloc serves by
// mmap, so that it comes from the arena those blocks will come from.
constexpr std::size_t kProbeBytes = 16 * 1024;

struct Keys {
    pthread_key_t ready{};
    pthread_key_t worker{};
    bool made = false;
};

const Keys& keys() noexcept {
    // A function-local static is made once, under the runtime's guard, which needs no
    // per-thread state.
    static const Keys made = [] {
        Keys k;
        if (pthread_key_create(&k.ready, nullptr) != 0) return k;
        if (pthread_key_create(&k.worker, nullptr) != 0) {
            pthread_key_delete(k.ready);
            return k;
        }
        k.made = true;
        return k;
    }();
    return made;
}

char g_ready_mark = 0;

}  // namespace

bool prepare_thread() noexcept {
    const Keys& k = keys();
    if (k.made && pthread_getspecific(k.ready) != nullptr) return true;
    void* probe = std::malloc(kProbeBytes);
    if (probe == nullptr) return false;
    std::free(probe);
    // The result is stored, so that the call (declared without side effects) is made.
    abi::__cxa_eh_globals* volatile globals = abi::__cxa_get_globals();
    (void)globals;
    // Without a slot the check is simply made again on the next call.
    if (k.made) pthread_setspecific(k.ready, &g_ready_mark);
    return true;
}

namespace detail {

WorkerThread* current_worker() noexcept {
    const Keys& k = keys();
    return k.made ? static_cast<WorkerThread*>(pthread_getspecific(k.worker)) : nullptr;
}

bool set_current_worker(WorkerThread* worker) noexcept {
    const Keys& k = keys();
    return k.made && pthread_setspecific(k.worker, worker) == 0;
}

}  // namespace detail

}  // namespace quorlin::parallel
