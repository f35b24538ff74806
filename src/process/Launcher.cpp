#include "process/Launcher.h"

#include <Ostrel/Command.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// ThreadSanitizer's interceptor of clone() takes every clone for a fork: in a child that shares
// the caller's memory it would reset the runtime's state under the caller's feet. glibc's
// __clone, the same function under its internal name, is not intercepted.
#if defined(__SANITIZE_THREAD__)
#define OSTREL_LAUNCH_WITH_INTERNAL_CLONE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OSTREL_LAUNCH_WITH_INTERNAL_CLONE 1
#endif
#endif
#if defined(OSTREL_LAUNCH_WITH_INTERNAL_CLONE)
extern "C" int __clone(int (*function)(void*), void* stack, int flags, void* argument, ...);
#endif

namespace Ostrel::internal {

namespace {

// posix_spawn closes the descriptors between the passed ones one by one: up to this many.
constexpr int spawnGapLimit = 64;

// What a start can fail at, and its text.
enum class Step : int { Run, Directory };

[[noreturn]] void fail(Step step, int error) {
    throw Command::Exception(
        step == Step::Directory ? "Cannot enter directory for child" : "Cannot run program", error);
}

// A descriptor closed when it goes unless released.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : _fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return _fd; }
    void reset(int fd = -1) noexcept {
        if (_fd != -1) {
            (void)::close(_fd);
        }
        _fd = fd;
    }

private:
    int _fd;
};

} // namespace

int highestTarget(const ChildSetup& setup) noexcept {
    int highest = 2;
    for (const auto& [source, target] : setup.passed) {
        highest = std::max(highest, target);
    }
    return highest;
}

int enterError(const char* path) noexcept {
    struct stat info {};
    if (::stat(path, &info) == -1) {
        return errno;
    }
    if (!S_ISDIR(info.st_mode)) {
        return ENOTDIR;
    }
    return ::faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == -1 ? errno : 0;
}

// ---- posix_spawn ----------------------------------------------------------------------------

#if defined(OSTREL_SPAWN_CLOSES_DESCRIPTORS)

namespace {

// The posix_spawn attribute and file-action objects, destroyed when they go.
struct SpawnObjects {
    SpawnObjects() {
        (void)posix_spawnattr_init(&attr);
        (void)posix_spawn_file_actions_init(&actions);
    }
    ~SpawnObjects() {
        (void)posix_spawn_file_actions_destroy(&actions);
        (void)posix_spawnattr_destroy(&attr);
    }
    SpawnObjects(const SpawnObjects&) = delete;
    SpawnObjects& operator=(const SpawnObjects&) = delete;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
};

// Throws "Cannot run program" for a failed posix_spawn set-up call.
void check(int result) {
    if (result != 0) {
        fail(Step::Run, result);
    }
}

} // namespace

bool spawnCanStart(const ChildSetup& setup) noexcept {
    return setup.deathSignal == 0 && highestTarget(setup) < 3 + spawnGapLimit;
}

pid_t spawnChild(const ChildSetup& setup) {
    SpawnObjects spawn;
    posix_spawn_file_actions_t* const actions = &spawn.actions;
    for (int fd = 0; fd < 3; ++fd) {
        const StreamSetup& stream = setup.streams[fd];
        if (stream.null) {
            check(posix_spawn_file_actions_addopen(actions, fd, "/dev/null",
                                                   fd == 0 ? O_RDONLY : O_WRONLY, 0));
        } else if (stream.source != -1) {
            check(posix_spawn_file_actions_adddup2(actions, stream.source, fd));
        }
    }
    const int highest = highestTarget(setup);
    std::vector<bool> target(static_cast<std::size_t>(highest) + 1);
    for (const auto& [source, childFd] : setup.passed) {
        check(posix_spawn_file_actions_adddup2(actions, source, childFd));
        target[static_cast<std::size_t>(childFd)] = true;
    }
    for (int fd = 3; fd < highest; ++fd) {
        if (!target[static_cast<std::size_t>(fd)]) {
            check(posix_spawn_file_actions_addclose(actions, fd));
        }
    }
    check(posix_spawn_file_actions_addclosefrom_np(actions, highest + 1));
    if (setup.directory != nullptr) {
        check(posix_spawn_file_actions_addchdir_np(actions, setup.directory));
    }

    short flags = 0;
    if (setup.restoreSignals) {
        // Every bit set, not sigfillset: glibc's leaves out its two internal signals, which its
        // child would then set to SIG_IGN.
        sigset_t none, all;
        (void)sigemptyset(&none);
        std::memset(&all, 0xff, sizeof all);
        check(posix_spawnattr_setsigmask(&spawn.attr, &none));
        check(posix_spawnattr_setsigdefault(&spawn.attr, &all));
        flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    }
    if (setup.newSession) {
        flags |= POSIX_SPAWN_SETSID; // a session leader leads its own group: no setpgid then
    } else if (setup.newGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        check(posix_spawnattr_setpgroup(&spawn.attr, 0));
    }
    check(posix_spawnattr_setflags(&spawn.attr, flags));

    char* const* argv = setup.argv.data();
    pid_t pid = -1;
    const int result = setup.searchPath
                           ? ::posix_spawnp(&pid, argv[0], actions, &spawn.attr, argv, setup.envp)
                           : ::posix_spawn(&pid, argv[0], actions, &spawn.attr, argv, setup.envp);
    if (result != 0) {
        // posix_spawn reports a directory it could not enter as it reports the program.
        const int directory = setup.directory != nullptr ? enterError(setup.directory) : 0;
        fail(directory != 0 ? Step::Directory : Step::Run, directory != 0 ? directory : result);
    }
    return pid;
}

#else

bool spawnCanStart(const ChildSetup& /*setup*/) noexcept {
    return false;
}

pid_t spawnChild(const ChildSetup& setup) {
    return launchChild(setup);
}

#endif

// ---- the own launcher -----------------------------------------------------------------------
//
// The child is a clone(CLONE_VM | CLONE_VFORK) of the calling thread on a stack of its own: it
// shares the caller's memory, and the caller sleeps until it runs the program or ends. It starts
// with every signal blocked (no handler of the caller can run on the shared memory), makes only
// raw system calls (a sanitizer's interceptor would note a close or a sigaction in the tables it
// shares with the caller), and reports a failure through a close-on-exec pipe, which also works
// where the clone runs as a fork (valgrind): end of file means the program runs.

namespace {

#if defined(SYS_close_range)
constexpr long closeRangeCall = SYS_close_range;
#else
constexpr long closeRangeCall = 436; // the same on every architecture
#endif

#if defined(OSTREL_FALLBACKS)
constexpr bool tryCloseRange = false; // as before Linux 5.9: the /proc/self/fd scan
#else
constexpr bool tryCloseRange = true;
#endif

constexpr std::size_t stackSize = std::size_t{64} * 1024;
constexpr long kernelMaskBytes = 8; // the kernel's 64 signals
constexpr int lastSignal = 64;

// A signal disposition as rt_sigaction takes it; all zeros is SIG_DFL, no flags, empty mask.
struct KernelAction {
    std::uintptr_t handler;
    unsigned long flags;
    std::uintptr_t restorer;
    unsigned long mask;
};

// What the child reports when it cannot run the program; error 0: nothing.
struct Report {
    Step step;
    int error;
};

// What the child reads, all of it made by the caller before the clone. The vectors of the setup
// are given as plain pointers: the child calls no library code.
struct Launch {
    const ChildSetup* setup;
    char* const* argv;
    const std::pair<int, int>* passed;
    const std::pair<int, int>* passedEnd;
    const char* const* programs; // null-terminated: the paths to try, in order
    bool searching;              // more than one path may be tried: go on after ENOENT, EACCES...
    const int* kept;             // descriptors from 3 that stay open, ascending, ended by -1
    int reportFd;                // -1: none, the shared report alone
    Report* shared;
    pid_t parent;
    sigset_t mask; // the mask the program starts with
};

// The child's system calls, unchecked by any sanitizer: see above.
__attribute__((no_sanitize("address", "thread", "undefined"))) long
sys(long number, long a = 0, long b = 0, long c = 0, long d = 0) noexcept {
    return ::syscall(number, a, b, c, d);
}

template <class T>
__attribute__((no_sanitize("address", "thread", "undefined"))) long arg(T* pointer) noexcept {
    return static_cast<long>(reinterpret_cast<std::uintptr_t>(pointer));
}

__attribute__((no_sanitize("address", "thread", "undefined"))) bool isKept(const int* kept,
                                                                           long fd) noexcept {
    for (; *kept != -1; ++kept) {
        if (*kept == fd) {
            return true;
        }
    }
    return false;
}

// Every signal to its default action (all), or only those the caller catches: exec would reset
// them too, but a signal that arrives between unblocking and exec must not run the caller's
// handler on the shared memory.
__attribute__((no_sanitize("address", "thread", "undefined"))) void
resetSignals(bool all) noexcept {
    const KernelAction byDefault{};
    for (int signal = 1; signal <= lastSignal; ++signal) {
        if (!all) {
            KernelAction current{};
            if (sys(SYS_rt_sigaction, signal, 0, arg(&current), kernelMaskBytes) != 0 ||
                current.handler == reinterpret_cast<std::uintptr_t>(SIG_DFL) ||
                current.handler == reinterpret_cast<std::uintptr_t>(SIG_IGN)) {
                continue;
            }
        }
        (void)sys(SYS_rt_sigaction, signal, arg(&byDefault), 0, kernelMaskBytes);
    }
}

// Closes every descriptor from 3 that is not kept: close_range over the gaps, else the entries of
// /proc/self/fd (until a pass closes nothing), else every number below the descriptor limit.
__attribute__((no_sanitize("address", "thread", "undefined"))) void
closeOthers(const int* kept) noexcept {
    if (tryCloseRange) {
        long first = 3;
        bool done = true;
        for (const int* fd = kept;; ++fd) {
            const long last = *fd == -1 ? ~0U : *fd - 1;
            if (first <= last && sys(closeRangeCall, first, last, 0) != 0 && errno == ENOSYS) {
                done = false;
                break;
            }
            if (*fd == -1) {
                break;
            }
            first = *fd + 1;
        }
        if (done) {
            return;
        }
    }
    const long dir =
        sys(SYS_openat, AT_FDCWD, arg("/proc/self/fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        alignas(dirent64) char buffer[2048];
        for (bool closed = true; closed;) {
            closed = false;
            (void)sys(SYS_lseek, dir, 0, SEEK_SET);
            long got = 0;
            while ((got = sys(SYS_getdents64, dir, arg(buffer), sizeof buffer)) > 0) {
                for (long at = 0; at < got;) {
                    const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                    at += entry->d_reclen;
                    long fd = entry->d_name[0] == '.' ? -1 : 0;
                    for (const char* digit = entry->d_name; fd != -1 && *digit != '\0'; ++digit) {
                        fd = fd * 10 + (*digit - '0');
                    }
                    if (fd >= 3 && fd != dir && !isKept(kept, fd) && sys(SYS_close, fd) == 0) {
                        closed = true;
                    }
                }
            }
        }
        (void)sys(SYS_close, dir);
        return;
    }
    rlimit limit{};
    (void)sys(SYS_prlimit64, 0, RLIMIT_NOFILE, 0, arg(&limit));
    const long end = limit.rlim_cur < (1UL << 20) ? static_cast<long>(limit.rlim_cur) : 1L << 20;
    for (long fd = 3; fd < end; ++fd) {
        if (!isKept(kept, fd)) {
            (void)sys(SYS_close, fd);
        }
    }
}

// Sends the report, into the shared memory and through the pipe (the clone may run as a fork),
// and ends the child as posix_spawn's does.
__attribute__((no_sanitize("address", "thread", "undefined"))) int
report(const Launch& launch, Step step, int error) noexcept {
    const Report failure{step, error};
    *launch.shared = failure;
    if (launch.reportFd != -1) {
        (void)sys(SYS_write, launch.reportFd, arg(&failure), sizeof failure);
    }
    (void)sys(SYS_exit_group, 127);
    return 127;
}

// The child: sets itself up as setup says, then runs the program.
__attribute__((no_sanitize("address", "thread", "undefined"))) int launched(void* argument) {
    const Launch& launch = *static_cast<const Launch*>(argument);
    const ChildSetup& setup = *launch.setup;
    resetSignals(setup.restoreSignals);
    if (setup.deathSignal != 0) {
        if (sys(SYS_prctl, PR_SET_PDEATHSIG, setup.deathSignal) != 0) {
            return report(launch, Step::Run, errno);
        }
        // The parent may have ended before the prctl: then the signal comes from here.
        if (sys(SYS_getppid) != launch.parent) {
            (void)sys(SYS_kill, sys(SYS_getpid), setup.deathSignal);
        }
    }
    if (setup.newSession ? sys(SYS_setsid) == -1 : setup.newGroup && sys(SYS_setpgid, 0, 0) != 0) {
        return report(launch, Step::Run, errno);
    }
    for (int fd = 0; fd < 3; ++fd) {
        const StreamSetup& stream = setup.streams[fd];
        long source = stream.source;
        if (stream.null) {
            // Closed first, as posix_spawn does: a caller at its descriptor limit still starts.
            (void)sys(SYS_close, fd);
            source = sys(SYS_openat, AT_FDCWD, arg("/dev/null"), fd == 0 ? O_RDONLY : O_WRONLY);
            if (source == -1) {
                return report(launch, Step::Run, errno);
            }
        }
        if (source != -1 && source != fd) {
            if (sys(SYS_dup3, source, fd, 0) == -1) {
                return report(launch, Step::Run, errno);
            }
            if (stream.null) {
                (void)sys(SYS_close, source);
            }
        }
    }
    for (const auto* pass = launch.passed; pass != launch.passedEnd; ++pass) {
        if (sys(SYS_dup3, pass->first, pass->second, 0) == -1) {
            return report(launch, Step::Run, errno);
        }
    }
    closeOthers(launch.kept);
    if (setup.directory != nullptr && sys(SYS_chdir, arg(setup.directory)) != 0) {
        return report(launch, Step::Directory, errno);
    }
    (void)sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&launch.mask), 0, kernelMaskBytes);
    // As posix_spawnp: a path that is not there or not allowed lets the search go on; EACCES
    // wins over ENOENT at the end.
    int error = ENOENT;
    bool denied = false;
    for (const char* const* program = launch.programs; *program != nullptr; ++program) {
        (void)sys(SYS_execve, arg(*program), arg(launch.argv), arg(setup.envp));
        error = errno;
        if (!launch.searching) {
            break;
        }
        if (error == EACCES) {
            denied = true;
        } else if (error != ENOENT && error != ESTALE && error != ENOTDIR && error != ENODEV &&
                   error != ETIMEDOUT) {
            denied = false;
            break;
        }
    }
    return report(launch, Step::Run, denied ? EACCES : error);
}

// The paths to try for setup's program: the program itself, or each directory of the caller's
// PATH with it ("/bin:/usr/bin" without PATH; an empty entry is the working directory).
std::vector<std::string> programPaths(const ChildSetup& setup) {
    const std::string program = setup.argv[0];
    if (!setup.searchPath || program.empty() || program.find('/') != std::string::npos) {
        return {program};
    }
    const char* variable = std::getenv("PATH");
    const std::string path = variable != nullptr ? variable : "/bin:/usr/bin";
    std::vector<std::string> result;
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        std::string candidate = path.substr(start, end - start);
        if (!candidate.empty()) {
            candidate += '/';
        }
        result.push_back(candidate + program);
        if (end == path.size()) {
            return result;
        }
        start = end + 1;
    }
}

// fd moved above highest (close-on-exec), so that no stream or passed descriptor lands on it;
// false when no descriptor is left for that.
bool moveAbove(Fd& fd, int highest) noexcept {
    if (fd.get() <= highest) {
        fd.reset(::fcntl(fd.get(), F_DUPFD_CLOEXEC, static_cast<long>(highest) + 1));
    }
    return fd.get() != -1;
}

// A private mapping for the child's stack, unmapped when it goes.
class Stack {
public:
    Stack()
        : _base(::mmap(nullptr, stackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)) {
        if (_base == MAP_FAILED) {
            fail(Step::Run, errno);
        }
    }
    ~Stack() { (void)::munmap(_base, stackSize); }
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;
    void* top() const noexcept { return static_cast<char*>(_base) + stackSize; }

private:
    void* _base;
};

} // namespace

pid_t launchChild(const ChildSetup& setup) {
    const std::vector<std::string> paths = programPaths(setup);
    std::vector<const char*> programs;
    programs.reserve(paths.size() + 1);
    for (const std::string& path : paths) {
        programs.push_back(path.c_str());
    }
    programs.push_back(nullptr);

    // The report pipe, above every target. Without a descriptor left for it the child reports
    // through the shared memory alone: a start then needs no more descriptors than posix_spawn.
    const int highest = highestTarget(setup);
    int ends[2] = {-1, -1};
    (void)::pipe2(ends, O_CLOEXEC);
    Fd reportRead(ends[0]), reportWrite(ends[1]);
    if (!moveAbove(reportRead, highest) || !moveAbove(reportWrite, highest)) {
        reportRead.reset();
        reportWrite.reset();
    }
    std::vector<int> kept;
    if (reportWrite.get() != -1) {
        kept.push_back(reportWrite.get());
    }
    for (const auto& [source, target] : setup.passed) {
        kept.push_back(target);
    }
    std::sort(kept.begin(), kept.end());
    kept.push_back(-1);

    const Stack stack;
    Report failure{Step::Run, 0};
    Launch launch{&setup,
                  setup.argv.data(),
                  setup.passed.data(),
                  setup.passed.data() + setup.passed.size(),
                  programs.data(),
                  setup.searchPath,
                  kept.data(),
                  reportWrite.get(),
                  &failure,
                  ::getpid(),
                  {}};
    // Every signal blocked, glibc's internal ones too, from before the clone until the child has
    // set its own dispositions; the caller's mask is back as soon as the clone returns.
    sigset_t all, caller;
    std::memset(&all, 0xff, sizeof all);
    (void)sigemptyset(&caller);
    (void)::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &caller, kernelMaskBytes);
    if (setup.restoreSignals) {
        (void)sigemptyset(&launch.mask);
    } else {
        launch.mask = caller;
    }
    constexpr int flags = CLONE_VM | CLONE_VFORK | SIGCHLD;
#if defined(OSTREL_LAUNCH_WITH_INTERNAL_CLONE)
    const pid_t pid = ::__clone(launched, stack.top(), flags, &launch);
#else
    const pid_t pid = ::clone(launched, stack.top(), flags, &launch);
#endif
    const int cloneError = errno;
    (void)::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &caller, nullptr, kernelMaskBytes);
    if (pid == -1) {
        fail(Step::Run, cloneError);
    }
    if (reportRead.get() != -1) {
        reportWrite.reset();
        Report received{};
        ssize_t got = 0;
        while ((got = ::read(reportRead.get(), &received, sizeof received)) == -1 &&
               errno == EINTR) {
        }
        if (got == static_cast<ssize_t>(sizeof received)) {
            failure = received;
        }
    }
    if (failure.error != 0) {
        while (::waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
        fail(failure.step, failure.error);
    }
    return pid;
}

} // namespace Ostrel::internal
