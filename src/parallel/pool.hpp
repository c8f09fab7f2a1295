// Work-stealing worker pool: the public surface used by the encoding core.
//
// Each worker has its own task queue; work submitted from threads outside the pool goes through
// one shared queue, and the submitting thread blocks until it is done. A worker that waits for
// a task keeps running other tasks, so nested parallel work can't exhaust the pool. The
// process-wide pool is created on first use and lives until the process exits.
#pragma once

#include <cstddef>

#include "parallel/join.hpp"          // join
#include "parallel/parallel_for.hpp"  // parallel_for, parallel_map
#include "parallel/thread_pool.hpp"   // ThreadPool

namespace quorlin::parallel {

// Number of threads of the pool the caller runs in: the worker's own pool on a worker thread,
// else the process-wide pool (created on first use).
std::size_t current_num_threads();

// Index of the calling worker in its pool, from 0 to current_num_threads() - 1; a thread
// outside every pool gets current_num_threads().
std::size_t current_thread_index();

}  // namespace quorlin::parallel
