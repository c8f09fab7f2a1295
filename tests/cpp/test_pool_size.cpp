#include "parallel/pool_size.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "parallel/pool.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using quorlin::parallel::cgroup_cpu_quota;
using quorlin::parallel::parse_thread_count;
using quorlin::parallel::thread_count_from_env;

// Probe mode: started with QUORLIN_POOL_PROBE set, this program reports the size of its
// process-wide pool on standard output and exits before any test runs. QUORLIN_PROBE_CPUS
// ("0,1") restricts its CPU-affinity set first.
void run_probe() {
    if (const char* cpus = std::getenv("QUORLIN_PROBE_CPUS")) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (const char* p = cpus; *p != '\0';) {
            char* end = nullptr;
            CPU_SET(static_cast<int>(std::strtol(p, &end, 10)), &set);
            p = *end == ',' ? end + 1 : end;
        }
        if (sched_setaffinity(0, sizeof(set), &set) != 0) std::perror("sched_setaffinity");
    }
    try {
        const std::size_t first = quorlin::parallel::current_num_threads();
        // The size is read once: later changes to the environment don't count.
        setenv("RAYON_NUM_THREADS", "7", 1);
        std::size_t inside = 0;
        quorlin::parallel::parallel_for(1, [&](std::size_t, std::size_t) {
            inside = quorlin::parallel::current_num_threads();
        });
        const std::size_t again = quorlin::parallel::current_num_threads();
        std::printf("%zu %zu %zu\n", first, inside, again);
    } catch (const quorlin::parallel::PoolError& failure) {
        std::printf("failure: %s\n", failure.what());
    }
    std::fflush(stdout);
    _exit(0);
}

[[maybe_unused]] const bool probe_ran = [] {
    if (std::getenv("QUORLIN_POOL_PROBE") != nullptr) run_probe();
    return false;
}();

TEST(ParseThreadCount, AcceptsUnsignedDecimalsOnly) {
    const std::vector<std::pair<std::string, std::optional<std::size_t>>> cases = {
        {"4", 4},
        {"+3", 3},
        {"0", 0},
        {"007", 7},
        {"18446744073709551615", std::numeric_limits<std::size_t>::max()},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {"++4", std::nullopt},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"four", std::nullopt},
        {"4x", std::nullopt},
        {"0x10", std::nullopt},
        {"4.0", std::nullopt},
        {"18446744073709551616", std::nullopt},
    };
    static_assert(sizeof(std::size_t) == 8, "the cases above assume a 64-bit word");
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parse_thread_count(text), expected) << '"' << text << '"';
    }
}

TEST(ThreadCountFromEnv, FirstValidVariableDecides) {
    using Env = std::optional<std::string_view>;
    struct Case {
        Env num_threads;
        Env rs_num_cpus;
        std::optional<std::size_t> expected;  // nullopt: the default
    };
    const std::vector<Case> cases = {
        {"4", std::nullopt, 4},
        {"+3", "9", 3},
        {"0", "5", std::nullopt},  // 0 selects the default at once
        {"-1", "6", 6},
        {" 4", "6", 6},
        {"4 ", "6", 6},
        {"four", "6", 6},
        {"", "+2", 2},
        {std::nullopt, "2", 2},
        {"four", std::nullopt, std::nullopt},
        {"four", "0", std::nullopt},
        {"four", "x", std::nullopt},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(thread_count_from_env(c.num_threads, c.rs_num_cpus), c.expected)
            << "RAYON_NUM_THREADS=" << c.num_threads.value_or("<unset>")
            << " RAYON_RS_NUM_CPUS=" << c.rs_num_cpus.value_or("<unset>");
    }
}

// A fake file-system root in a fresh temporary directory.
class FakeRoot {
  public:
    FakeRoot() {
        std::string pattern = (fs::temp_directory_path() / "quorlin-cgroup-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~FakeRoot() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    FakeRoot(const FakeRoot&) = delete;
    FakeRoot& operator=(const FakeRoot&) = delete;

    void write(const std::string& file, const std::string& text) const {
        const fs::path target = path_ / fs::path(file).relative_path();
        fs::create_directories(target.parent_path());
        std::ofstream(target) << text;
    }
    std::string path() const { return path_.string(); }

  private:
    fs::path path_;
};

const char* const kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const char* const kV1Mounts =
    "31 23 0:28 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
    "32 23 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n";

struct CgroupCase {
    const char* name;
    std::map<std::string, std::string> files;
    std::optional<std::size_t> expected;
};

TEST(CgroupCpuQuota, ReadsFakeTrees) {
    const std::string v2_app = "/sys/fs/cgroup/user.slice/app/";
    const std::string v1_dir = "/sys/fs/cgroup/cpu,cpuacct/docker/box/";
    const std::vector<CgroupCase> cases = {
        {"v2 two cpus",
         {{"/proc/self/cgroup", "0::/user.slice/app\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {v2_app + "cpu.max", "200000 100000\n"}},
         2},
        {"v2 whole part of 2.5",
         {{"/proc/self/cgroup", "0::/user.slice/app\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {v2_app + "cpu.max", "250000 100000\n"}},
         2},
        {"v2 below one cpu",
         {{"/proc/self/cgroup", "0::/user.slice/app\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {v2_app + "cpu.max", "50000 100000\n"}},
         1},
        {"v2 max means none",
         {{"/proc/self/cgroup", "0::/user.slice/app\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {v2_app + "cpu.max", "max 100000\n"}},
         std::nullopt},
        {"v2 stricter parent",
         {{"/proc/self/cgroup", "0::/user.slice/app\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {"/sys/fs/cgroup/user.slice/cpu.max", "100000 100000\n"},
          {v2_app + "cpu.max", "300000 100000\n"}},
         1},
        {"v2 mounted below the group's ancestor",
         {{"/proc/self/cgroup", "0::/kubepods/pod1/c1\n"},
          {"/proc/self/mountinfo",
           "40 30 0:26 /kubepods/pod1 /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/c1/cpu.max", "300000 100000\n"}},
         3},
        {"v1 quota",
         {{"/proc/self/cgroup", "12:memory:/docker/box\n4:cpu,cpuacct:/docker/box\n"},
          {"/proc/self/mountinfo", kV1Mounts},
          {v1_dir + "cpu.cfs_quota_us", "400000\n"},
          {v1_dir + "cpu.cfs_period_us", "100000\n"}},
         4},
        {"v1 below one cpu",
         {{"/proc/self/cgroup", "4:cpu,cpuacct:/docker/box\n"},
          {"/proc/self/mountinfo", kV1Mounts},
          {v1_dir + "cpu.cfs_quota_us", "20000\n"},
          {v1_dir + "cpu.cfs_period_us", "100000\n"}},
         1},
        {"v1 minus one means none",
         {{"/proc/self/cgroup", "4:cpu,cpuacct:/docker/box\n"},
          {"/proc/self/mountinfo", kV1Mounts},
          {v1_dir + "cpu.cfs_quota_us", "-1\n"},
          {v1_dir + "cpu.cfs_period_us", "100000\n"}},
         std::nullopt},
        {"v1 mount point with an escaped blank",
         {{"/proc/self/cgroup", "4:cpu:/\n"},
          {"/proc/self/mountinfo",
           "32 23 0:29 / /sys/fs/my\\040cgroup rw - cgroup cgroup rw,cpu\n"},
          {"/sys/fs/my cgroup/cpu.cfs_quota_us", "200000\n"},
          {"/sys/fs/my cgroup/cpu.cfs_period_us", "100000\n"}},
         2},
        {"hybrid: v2 without cpu.max leaves it to v1",
         {{"/proc/self/cgroup", "4:cpu,cpuacct:/docker/box\n0::/docker/box\n"},
          {"/proc/self/mountinfo",
           std::string(kV1Mounts) +
               "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/unified/docker/box/cgroup.procs", ""},
          {v1_dir + "cpu.cfs_quota_us", "300000\n"},
          {v1_dir + "cpu.cfs_period_us", "100000\n"}},
         3},
        {"no cgroup file", {{"/proc/self/mountinfo", kV2Mount}}, std::nullopt},
        {"group outside the mounted part",
         {{"/proc/self/cgroup", "0::/elsewhere\n"},
          {"/proc/self/mountinfo", "40 30 0:26 /kubepods /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/cpu.max", "100000 100000\n"}},
         std::nullopt},
    };
    for (const CgroupCase& c : cases) {
        SCOPED_TRACE(c.name);
        const FakeRoot root;
        for (const auto& [file, text] : c.files) root.write(file, text);
        EXPECT_EQ(cgroup_cpu_quota(root.path()), c.expected);
    }
}

// Output of this test program started in probe mode with the given environment (RAYON_* and
// QUORLIN_* variables of this process are not passed on).
std::string probe(const std::vector<std::string>& settings) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (text.starts_with("RAYON_") || text.starts_with("QUORLIN_")) continue;
        env.emplace_back(text);
    }
    env.emplace_back("QUORLIN_POOL_PROBE=1");
    env.insert(env.end(), settings.begin(), settings.end());
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    std::string self = "/proc/self/exe";
    char* argv[] = {self.data(), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    std::string out;
    char buffer[256];
    for (ssize_t got; spawned == 0 && (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipe_ends[0]);
    if (spawned != 0) return "spawn failed";
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += "[abnormal exit]";
    return out;
}

// The first `count` CPUs of this process's affinity set, as "a,b".
std::optional<std::string> first_cpus(int count) {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return std::nullopt;
    std::string list;
    for (int cpu = 0; cpu < CPU_SETSIZE && count > 0; ++cpu) {
        if (!CPU_ISSET(cpu, &set)) continue;
        if (!list.empty()) list += ',';
        list += std::to_string(cpu);
        --count;
    }
    if (count > 0) return std::nullopt;
    return list;
}

std::string same_size(std::size_t n) {
    const std::string text = std::to_string(n);
    return text + " " + text + " " + text + "\n";
}

TEST(ProcessPoolSize, FollowsTheEnvironmentOnceAndForAll) {
    const std::string one_cpu = "QUORLIN_PROBE_CPUS=" + first_cpus(1).value();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"RAYON_NUM_THREADS=4"}, same_size(4)},
        {{"RAYON_NUM_THREADS=+3", "RAYON_RS_NUM_CPUS=5"}, same_size(3)},
        {{"RAYON_RS_NUM_CPUS=3"}, same_size(3)},
        {{"RAYON_NUM_THREADS= 4", "RAYON_RS_NUM_CPUS=5"}, same_size(5)},
        // 0 means the default (one CPU here) without looking at the second variable.
        {{"RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=5", one_cpu}, same_size(1)},
        {{"RAYON_NUM_THREADS=four", "RAYON_RS_NUM_CPUS=0", one_cpu}, same_size(1)},
    };
    for (const auto& [settings, expected] : cases) {
        std::string label;
        for (const std::string& setting : settings) label += setting + " ";
        EXPECT_EQ(probe(settings), expected) << label;
    }
}

TEST(ProcessPoolSize, DefaultIsTheAffinitySetCappedByTheQuota) {
    const std::optional<std::string> two_cpus = first_cpus(2);
    if (!two_cpus) GTEST_SKIP() << "fewer than two CPUs available";
    const std::size_t cap = cgroup_cpu_quota("").value_or(std::numeric_limits<std::size_t>::max());
    EXPECT_EQ(probe({"QUORLIN_PROBE_CPUS=" + *two_cpus}), same_size(std::min<std::size_t>(2, cap)));
}

TEST(ProcessPoolSize, PoolThatCannotBeBuiltFailsTheOperation) {
    const std::string out = probe({"RAYON_NUM_THREADS=18446744073709551615"});
    EXPECT_TRUE(out.starts_with("failure: The global thread pool has not been initialized.: "))
        << out;
}

}  // namespace
