// The limits of SysInfo: the affinity mask, the cgroup quotas and the physical memory, read
// afresh on each call.
#include <Ostrel/SysInfo.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace Ostrel {

namespace {

// The whole of a file, or false when it cannot be opened or read.
bool readFile(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return false;
    }
    text.clear();
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    (void)::close(fd);
    return got == 0;
}

// The lines of text, without their newlines.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The words of a line, split at single blanks (as the kernel writes them).
std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(' ', start);
        words.push_back(line.substr(start, end - start));
        if (end == std::string::npos) {
            return words;
        }
        start = end + 1;
    }
}

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// The text of a mountinfo path field, whose blanks, tabs, newlines and backslashes the kernel
// writes as octal escapes ("\040").
std::string unescape(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            text.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                             (field[i + 3] - '0')));
            i += 3;
        } else {
            text.push_back(field[i]);
        }
    }
    return text;
}

// True when list, comma-separated, holds item.
bool listHas(const std::string& list, const std::string& item) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = list.find(',', start);
        if (list.compare(start, end == std::string::npos ? std::string::npos : end - start, item) ==
            0) {
            return true;
        }
        if (end == std::string::npos) {
            return false;
        }
        start = end + 1;
    }
}

// The decimal number that text holds (one trailing newline allowed); false for anything else,
// "max" and "-1" included.
bool parseNumber(const std::string& text, std::uint64_t& value) {
    const std::size_t end = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    if (end == 0) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9' || value > (UINT64_MAX - static_cast<unsigned>(c - '0')) / 10) {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// A line of /proc/self/cgroup: the process's cgroup in one hierarchy.
struct Membership {
    // v1: the controllers bound to the hierarchy ("cpu,cpuacct"); empty for v2.
    std::string controllers;
    // The cgroup, from the root of the process's cgroup namespace.
    std::string path;
};

// A cgroup file system in /proc/self/mountinfo.
struct CgroupMount {
    bool unified;
    // v1: the mount's options, the controllers among them.
    std::string options;
    // The cgroup mounted there (from the namespace root), and where.
    std::string root;
    std::string mountPoint;
};

std::vector<Membership> membershipsOf(const std::string& text) {
    std::vector<Membership> memberships;
    for (const std::string& line : linesOf(text)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first == std::string::npos ? first : first + 1);
        if (second != std::string::npos) {
            memberships.push_back(
                {line.substr(first + 1, second - first - 1), line.substr(second + 1)});
        }
    }
    return memberships;
}

// "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS".
std::vector<CgroupMount> cgroupMountsOf(const std::string& text) {
    std::vector<CgroupMount> mounts;
    for (const std::string& line : linesOf(text)) {
        const std::vector<std::string> words = wordsOf(line);
        std::size_t dash = 6;
        while (dash < words.size() && words[dash] != "-") {
            ++dash;
        }
        if (dash + 3 >= words.size()) {
            continue;
        }
        const std::string& type = words[dash + 1];
        if (type == "cgroup2" || type == "cgroup") {
            mounts.push_back(
                {type == "cgroup2", words[dash + 3], unescape(words[3]), unescape(words[4])});
        }
    }
    return mounts;
}

// True when path is root or below it, component by component.
bool isBelow(const std::string& path, const std::string& root) {
    if (root == "/") {
        return !path.empty() && path[0] == '/';
    }
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

// The directories of the process's cgroup and of each ancestor up to the mount's root, the
// cgroup first, in the hierarchy of membership; none when no mount shows that cgroup (or its
// path climbs out of the namespace, "/..").
std::vector<std::string> levelsOf(const Membership& membership,
                                  const std::vector<CgroupMount>& mounts, const char* controller) {
    const bool unified = membership.controllers.empty();
    if (!unified && !listHas(membership.controllers, controller)) {
        return {};
    }
    const CgroupMount* best = nullptr;
    for (const CgroupMount& mount : mounts) {
        if (mount.unified == unified && (unified || listHas(mount.options, controller)) &&
            isBelow(membership.path, mount.root) &&
            (best == nullptr || mount.root.size() < best->root.size())) {
            best = &mount;
        }
    }
    if (best == nullptr) {
        return {};
    }
    std::string below =
        best->root == "/" ? membership.path : membership.path.substr(best->root.size());
    if ((below + "/").find("/../") != std::string::npos) {
        return {};
    }
    std::vector<std::string> levels;
    for (;;) {
        while (!below.empty() && below.back() == '/') {
            below.pop_back();
        }
        levels.push_back(best->mountPoint + below);
        if (below.empty()) {
            return levels;
        }
        below.erase(below.rfind('/'));
    }
}

// The processors in the affinity mask, which needs a set as large as the kernel's: more than
// CPU_SETSIZE (1024) processors make sched_getaffinity fail with EINVAL for a smaller one.
std::uint32_t affinityCount() {
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* const set = CPU_ALLOC(cpus);
        if (set == nullptr) {
            break;
        }
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        const int result = ::sched_getaffinity(0, size, set);
        const int error = errno;
        const int count = result == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (result == 0 && count > 0) {
            return static_cast<std::uint32_t>(count);
        }
        if (result == 0 || error != EINVAL) {
            break;
        }
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::uint32_t>(online) : 1U;
}

std::uint64_t physicalMemory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return 0;
    }
    const auto total = static_cast<std::uint64_t>(pages);
    const auto size = static_cast<std::uint64_t>(pageSize);
    return total > UINT64_MAX / size ? UINT64_MAX : total * size;
}

// The quota and period of a cgroup directory, v2 or v1; false when it sets none.
bool cpuQuotaOf(const std::string& dir, bool unified, std::uint64_t& quota, std::uint64_t& period) {
    std::string text;
    if (unified) {
        if (!readFile(dir + "/cpu.max", text)) {
            return false;
        }
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        const std::vector<std::string> words = wordsOf(text);
        period = 100000;
        return parseNumber(words[0], quota) && (words.size() < 2 || parseNumber(words[1], period));
    }
    std::string periodText;
    return readFile(dir + "/cpu.cfs_quota_us", text) && parseNumber(text, quota) &&
           readFile(dir + "/cpu.cfs_period_us", periodText) && parseNumber(periodText, period);
}

// The memory limit of a cgroup directory, v2 or v1; false when it sets none. Version 1 writes
// "no limit" as the largest page count times the page size, near INT64_MAX.
bool memoryLimitOf(const std::string& dir, bool unified, std::uint64_t& limit) {
    std::string text;
    if (!readFile(dir + (unified ? "/memory.max" : "/memory.limit_in_bytes"), text) ||
        !parseNumber(text, limit)) {
        return false;
    }
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const auto page = static_cast<std::uint64_t>(pageSize > 0 ? pageSize : 4096);
    return unified || limit != static_cast<std::uint64_t>(INT64_MAX) / page * page;
}

} // namespace

SysInfo::ResourceLimits SysInfo::resourceLimits() const {
    ResourceLimits limits;
    limits.affinityCount = affinityCount();
    limits.physicalMemory = physicalMemory();
    std::string cgroups, mountInfo;
    if (!readFile("/proc/self/cgroup", cgroups) || !readFile("/proc/self/mountinfo", mountInfo)) {
        return limits;
    }
    const std::vector<CgroupMount> mounts = cgroupMountsOf(mountInfo);
    for (const Membership& membership : membershipsOf(cgroups)) {
        const bool unified = membership.controllers.empty();
        for (const std::string& dir : levelsOf(membership, mounts, "cpu")) {
            std::uint64_t quota = 0, period = 0;
            // quota / period below the best so far, compared without dividing.
            if (cpuQuotaOf(dir, unified, quota, period) && period != 0 &&
                (limits.cpuPeriod == 0 || static_cast<long double>(quota) * limits.cpuPeriod <
                                              static_cast<long double>(limits.cpuQuota) * period)) {
                limits.cpuQuota = quota;
                limits.cpuPeriod = period;
                limits.cpuQuotaGroup = dir;
            }
        }
        for (const std::string& dir : levelsOf(membership, mounts, "memory")) {
            std::uint64_t limit = 0;
            if (memoryLimitOf(dir, unified, limit) &&
                (limits.memoryLimitGroup.empty() || limit < limits.cgroupMemoryLimit)) {
                limits.cgroupMemoryLimit = limit;
                limits.memoryLimitGroup = dir;
            }
        }
    }
    return limits;
}

std::uint32_t SysInfo::availableParallelism() const {
    const ResourceLimits limits = resourceLimits();
    std::uint64_t count = limits.affinityCount;
    if (limits.cpuPeriod != 0 && limits.cpuQuota / limits.cpuPeriod < count) {
        count = limits.cpuQuota / limits.cpuPeriod;
    }
    return count > 0 ? static_cast<std::uint32_t>(count) : 1U;
}

std::uint64_t SysInfo::memoryLimit() const {
    const ResourceLimits limits = resourceLimits();
    std::uint64_t limit = limits.physicalMemory != 0 ? limits.physicalMemory : UINT64_MAX;
    if (!limits.memoryLimitGroup.empty() && limits.cgroupMemoryLimit < limit) {
        limit = limits.cgroupMemoryLimit;
    }
    return limit;
}

} // namespace Ostrel
