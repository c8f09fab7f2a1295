// How many workers the process-wide pool gets: an explicit count from the environment, else the
// CPUs this process may run on, capped by the CPU quota of its control group.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorlin::parallel {

// An unsigned decimal number: digits with an optional leading '+', nothing else, fitting in
// std::size_t. Anything else gives nullopt.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The thread count chosen by the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (nullopt for
// an unset variable). nullopt selects the default size. A valid first value decides alone (0
// meaning the default); the second one counts only when the first is unset or not a number.
std::optional<std::size_t> thread_count_from_env(std::optional<std::string_view> num_threads,
                                                 std::optional<std::string_view> rs_num_cpus);

// Whole CPUs granted by the control-group CPU quota of this process (at least 1), or nullopt
// when there is no quota or it can't be read. Files are read below `root` ("" for the real file
// system): root/proc/self/cgroup, root/proc/self/mountinfo and the quota files of the group and
// of its ancestors up to the mount point (the smallest quota wins). cgroup v2 is tried first;
// v1 only when no v2 cpu.max file exists.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root);

// CPUs in this process's affinity set, or nullopt if it can't be read.
std::optional<std::size_t> affinity_cpu_count();

// The default size: affinity set (else online processors) capped by the quota; 1 if all fails.
std::size_t default_num_threads();

// The size from the environment and, failing that, the default. Reads the environment on each
// call; the process-wide pool calls it once, when it is created.
std::size_t configured_num_threads();

}  // namespace quorlin::parallel
