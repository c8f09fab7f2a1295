#include "parallel/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace quorlin::parallel {

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return text;
}

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool contains(const std::vector<std::string_view>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::optional<std::int64_t> parse_int(std::string_view text) {
    text = trim(text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Whole CPUs of a quota, or nullopt when quota or period mean "no limit".
std::optional<std::size_t> whole_cpus(std::optional<std::int64_t> quota,
                                      std::optional<std::int64_t> period) {
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    return std::max<std::size_t>(1, static_cast<std::size_t>(*quota / *period));
}

// Mount points in /proc/self/mountinfo escape blanks and backslashes as \ooo.
std::string unescape_mount_field(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && field.size() - i > 3) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                                (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

struct CgroupMount {
    std::string root;         // the part of the hierarchy that is mounted
    std::string mount_point;  // where it is mounted
};

// The mount of the cgroup2 hierarchy (v1 == false) or of the v1 hierarchy with the cpu
// controller (v1 == true).
std::optional<CgroupMount> find_mount(const std::string& mountinfo, bool v1) {
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        const std::vector<std::string_view> fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view type = dash[1];
        const bool match =
            v1 ? type == "cgroup" && contains(split(dash[3], ','), "cpu") : type == "cgroup2";
        if (match)
            return CgroupMount{unescape_mount_field(fields[3]), unescape_mount_field(fields[4])};
    }
    return std::nullopt;
}

// The group path of this process in the cgroup2 hierarchy or in the v1 cpu hierarchy.
std::optional<std::string> find_group(const std::string& cgroup, bool v1) {
    std::istringstream lines(cgroup);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string_view view(line);
        const std::string_view id = view.substr(0, first);
        const std::string_view controllers = view.substr(first + 1, second - first - 1);
        const bool match =
            v1 ? contains(split(controllers, ','), "cpu") : id == "0" && controllers.empty();
        if (match) return std::string(view.substr(second + 1));
    }
    return std::nullopt;
}

// Directories from the mount point down to the process's group, each as a path on the host.
std::optional<std::vector<std::string>> group_dirs(const std::string& root,
                                                   const CgroupMount& mount,
                                                   const std::string& group) {
    std::string_view relative(group);
    if (mount.root != "/") {
        if (relative.substr(0, mount.root.size()) != mount.root) return std::nullopt;
        relative.remove_prefix(mount.root.size());
        if (!relative.empty() && relative.front() != '/') return std::nullopt;
    }
    std::vector<std::string> dirs{root + mount.mount_point};
    for (const std::string_view part : split(relative, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::nullopt;
        dirs.push_back(dirs.back() + "/" + std::string(part));
    }
    return dirs;
}

struct QuotaScan {
    bool found_file = false;
    std::optional<std::size_t> cpus;
};

void take_smaller(QuotaScan& scan, std::optional<std::size_t> cpus) {
    if (cpus && (!scan.cpus || *cpus < *scan.cpus)) scan.cpus = cpus;
}

QuotaScan scan_v2(const std::vector<std::string>& dirs) {
    QuotaScan scan;
    for (const std::string& dir : dirs) {
        const std::optional<std::string> text = read_file(dir + "/cpu.max");
        if (!text) continue;
        scan.found_file = true;
        const std::vector<std::string_view> words = split(trim(*text), ' ');
        if (words.size() != 2 || words[0] == "max") continue;
        take_smaller(scan, whole_cpus(parse_int(words[0]), parse_int(words[1])));
    }
    return scan;
}

QuotaScan scan_v1(const std::vector<std::string>& dirs) {
    QuotaScan scan;
    for (const std::string& dir : dirs) {
        const std::optional<std::string> quota = read_file(dir + "/cpu.cfs_quota_us");
        const std::optional<std::string> period = read_file(dir + "/cpu.cfs_period_us");
        if (!quota || !period) continue;
        scan.found_file = true;
        take_smaller(scan, whole_cpus(parse_int(*quota), parse_int(*period)));
    }
    return scan;
}

std::optional<QuotaScan> scan_hierarchy(const std::string& root, const std::string& cgroup,
                                        const std::string& mountinfo, bool v1) {
    const std::optional<std::string> group = find_group(cgroup, v1);
    const std::optional<CgroupMount> mount = find_mount(mountinfo, v1);
    if (!group || !mount) return std::nullopt;
    const std::optional<std::vector<std::string>> dirs = group_dirs(root, *mount, *group);
    if (!dirs) return std::nullopt;
    return v1 ? scan_v1(*dirs) : scan_v2(*dirs);
}

std::optional<std::string_view> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    // from_chars takes digits only (no sign, no blank), so a full match is the whole rule.
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::size_t> thread_count_from_env(std::optional<std::string_view> num_threads,
                                                 std::optional<std::string_view> rs_num_cpus) {
    if (num_threads) {
        if (const std::optional<std::size_t> n = parse_thread_count(*num_threads)) {
            if (*n == 0) return std::nullopt;
            return n;
        }
    }
    if (rs_num_cpus) {
        if (const std::optional<std::size_t> n = parse_thread_count(*rs_num_cpus); n && *n > 0) {
            return n;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) {
    const std::optional<std::string> cgroup = read_file(root + "/proc/self/cgroup");
    const std::optional<std::string> mountinfo = read_file(root + "/proc/self/mountinfo");
    if (!cgroup || !mountinfo) return std::nullopt;
    if (const auto v2 = scan_hierarchy(root, *cgroup, *mountinfo, false); v2 && v2->found_file) {
        return v2->cpus;
    }
    if (const auto v1 = scan_hierarchy(root, *cgroup, *mountinfo, true)) return v1->cpus;
    return std::nullopt;
}

std::optional<std::size_t> affinity_cpu_count() {
    // The kernel refuses a set smaller than its own CPU mask with EINVAL: grow until it fits.
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        const int result = sched_getaffinity(0, size, set);
        const int error = errno;
        const int count = result == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (result == 0) {
            if (count <= 0) return std::nullopt;
            return static_cast<std::size_t>(count);
        }
        if (error != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::size_t default_num_threads() {
    std::optional<std::size_t> cpus = affinity_cpu_count();
    if (!cpus) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online <= 0) return 1;
        cpus = static_cast<std::size_t>(online);
    }
    if (const std::optional<std::size_t> quota = cgroup_cpu_quota("")) {
        return std::min(*cpus, *quota);
    }
    return *cpus;
}

std::size_t configured_num_threads() {
    const std::optional<std::string_view> num_threads = env("RAYON_NUM_THREADS");
    // A valid first value decides alone; the second variable is then not read at all.
    const bool first_decides = num_threads && parse_thread_count(*num_threads);
    const std::optional<std::string_view> rs_num_cpus =
        first_decides ? std::nullopt : env("RAYON_RS_NUM_CPUS");
    if (const std::optional<std::size_t> n = thread_count_from_env(num_threads, rs_num_cpus)) {
        return *n;
    }
    return default_num_threads();
}

}  // namespace quorlin::parallel
