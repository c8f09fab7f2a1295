// What each thread keeps of the pool: whether it is ready to fail safely, and the worker it
// acts as. Both live in pthread keys, not in thread_local variables. A thread_local of a
// library loaded with dlopen (as an extension module is) is allocated on the thread's first
// touch, and glibc ends the process when that allocation fails; the same holds for the C++
// runtime's per-thread exception state, which the first throw on a thread allocates. A key's
// slot of the first 32 keys sits in the thread's descriptor, allocated with the thread, and
// later keys report a failed allocation instead of ending the process.
#pragma once

namespace quorlin::parallel::detail {

class WorkerThread;

}  // namespace quorlin::parallel::detail

namespace quorlin::parallel {

// Makes the calling thread ready to throw and to run pool work: on its first call on a thread,
// checks that memory can still be had there and allocates the C++ runtime's exception state
// while it can. False when memory is short: the thread must then fail without throwing.
bool prepare_thread() noexcept;

}  // namespace quorlin::parallel

namespace quorlin::parallel::detail {

// The worker the calling thread acts as, or nullptr.
WorkerThread* current_worker() noexcept;
// Sets it; false when the slot could not be had (the thread then acts as no worker).
bool set_current_worker(WorkerThread* worker) noexcept;

}  // namespace quorlin::parallel::detail
