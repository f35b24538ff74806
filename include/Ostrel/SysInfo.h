/// \file
/// \brief The public header of Ostrel::SysInfo.

/// \class Ostrel::SysInfo
/// \brief The process-wide record of where and as whom the program runs.
///
/// The one instance is created on the first call of init() or the(), filled once from the
/// operating system, and never destroyed or refreshed. A value the system cannot supply is left
/// as a defined placeholder: "[NA]" for the user, host, system, system class and machine names,
/// an empty appName when the executable link cannot be read, an empty appDataName when HOME is
/// unset, and a cpuCount of 1. Nothing here throws on a failed system call and nothing prints
/// except dump().
///
/// Not thread-safe: there is no lock. The first init() or the() must complete before any other
/// thread calls either, and set() must not run while other threads read the record.
#pragma once

#include <Ostrel/Export.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Ostrel {

class OSTREL_API SysInfo {
public:
    /// Creates the singleton if it does not exist yet.
    static void init();
    /// The singleton, created on first use; never null.
    static SysInfo* the();

    /// Fills the record from the operating system; init() calls it once per process.
    SysInfo();
    /// Not copyable.
    /// @{
    SysInfo(const SysInfo&) = delete;
    SysInfo& operator=(const SysInfo&) = delete;
    /// @}

    /// Records the environment name (unchanged) and the arguments argv[0] .. argv[argc - 1],
    /// skipping null entries; each call replaces both. With setupWindow, calls setWindowHandle().
    void set(const std::string& name, int argc, char** argv, bool setupWindow);
    /// There is no window on this platform: sets windowHandle to 0.
    void setWindowHandle();
    /// Has no effect on this platform.
    void setupExceptionPolicy();

    /// Runs "xdg-open " + url through the shell (system()) and waits for it; always returns true,
    /// whether or not a browser opened.
    /// WARNING: the URL is passed to the shell exactly as given, unquoted and unescaped. A URL
    /// holding blanks, quotes or shell metacharacters (; & | $ ` and the like) is interpreted
    /// by the shell and can run arbitrary commands. Pass only URLs that the shell takes as one
    /// plain word, and never a text that came from an untrusted source.
    bool openUrl(const std::string& url);
    /// appDataName + "/." + name; forms the name only, creating and testing nothing.
    std::string createAppDataPathName(const char* name) const;
    /// Prints the record (all but the arguments) on standard output between two header lines.
    void dump();

    /// @name The user's base directories
    /// By the XDG base-directory rules: the value of the variable when it holds an absolute
    /// path (returned unchanged), otherwise (unset, empty or relative) the default below
    /// appDataName, the home directory. With no absolute home directory ("HOME" unset, empty or
    /// relative when the record was made) there is no default, and the result is empty, as
    /// runtimeDir() is without its variable. The variables are read at each call; nothing is
    /// created or tested, and nothing is printed.
    /// @{
    /// $XDG_CONFIG_HOME, or appDataName + "/.config".
    std::string configHome() const;
    /// $XDG_DATA_HOME, or appDataName + "/.local/share".
    std::string dataHome() const;
    /// $XDG_STATE_HOME, or appDataName + "/.local/state".
    std::string stateHome() const;
    /// $XDG_CACHE_HOME, or appDataName + "/.cache".
    std::string cacheHome() const;
    /// $XDG_RUNTIME_DIR, or empty: there is no default.
    std::string runtimeDir() const;
    /// @}

    /// What availableParallelism() and memoryLimit() are made of, for a report of them.
    struct ResourceLimits {
        /// The processors in the affinity mask (sched_getaffinity); the processors online when
        /// the mask cannot be read. At least 1.
        std::uint32_t affinityCount = 1;
        /// The tightest CPU quota of the process's cgroup and its ancestors: cpuQuota
        /// microseconds of processor time in each cpuPeriod microseconds. Both 0 when none is set.
        std::uint64_t cpuQuota = 0;
        /// The period of cpuQuota, in microseconds; 0 when no quota is set.
        std::uint64_t cpuPeriod = 0;
        /// The directory of the cgroup that sets cpuQuota; empty when none does.
        std::string cpuQuotaGroup;
        /// The physical memory in bytes (sysconf); 0 when the system does not say.
        std::uint64_t physicalMemory = 0;
        /// The lowest memory limit of the process's cgroup and its ancestors, in bytes; 0 when
        /// none is set.
        std::uint64_t cgroupMemoryLimit = 0;
        /// The directory of the cgroup that sets cgroupMemoryLimit; empty when none does.
        std::string memoryLimitGroup;
    };

    /// @name Limits the process lives in
    /// Computed on each call; nothing in the record changes, nothing is printed. The cgroups
    /// are those of /proc/self/cgroup, cgroup v2 and every v1 hierarchy with the cpu or memory
    /// controller (hybrid hosts have both), found at their mount points in
    /// /proc/self/mountinfo; the process's cgroup and each ancestor up to the mount's root (in
    /// a container, the root of its cgroup namespace) count. A quota in v2 is cpu.max
    /// ("max 100000" or "150000 100000"), in v1 cpu.cfs_quota_us / cpu.cfs_period_us; a memory
    /// limit in v2 is memory.max, in v1 memory.limit_in_bytes (whose "no limit" is a huge
    /// number, which is not counted). A file that is missing,
    /// unreadable or holds no number is no limit: without /proc or cgroups the affinity mask
    /// and the physical memory decide. Thread-safe; nothing but an allocation failure
    /// (std::bad_alloc) is thrown.
    /// @{
    /// The affinity count, the quota and the memory limits, each with where it comes from.
    ResourceLimits resourceLimits() const;
    /// The processors this process may use: the affinity count, lowered to a CPU quota's
    /// quota / period rounded down (150000 / 100000 gives 1), at least 1. A thread pool sized
    /// by it keeps the processors busy that the process really gets.
    std::uint32_t availableParallelism() const;
    /// The bytes of memory this process may use: the smallest of the physical memory and the
    /// cgroup memory limits (UINT64_MAX when the system says neither).
    std::uint64_t memoryLimit() const;
    /// @}

    /// The window handle; always 0 on this platform.
    std::int32_t windowHandle = 0;
    /// The environment name given to set(); envName + "_DIR" names FileLocator's variable.
    std::string envName;
    /// Absolute path of the running executable.
    std::string appName;
    /// The login name of the real user (getpwuid_r), or "[NA]".
    std::string userName;
    /// The host name (gethostname), or "[NA]".
    std::string hostName;
    /// The operating system's name (uname), or "[NA]".
    std::string sysName;
    /// The system class; on this platform a copy of sysName.
    std::string sysClassName;
    /// The machine's hardware name (uname), or "[NA]".
    std::string machineName;
    /// The user's home directory (HOME).
    std::string appDataName;
    /// The arguments given to set(), argv[0] included.
    std::vector<std::string> arguments;
    /// Processors online, at least 1.
    std::uint32_t cpuCount = 1;

private:
    static SysInfo* _the;
};

} // namespace Ostrel
