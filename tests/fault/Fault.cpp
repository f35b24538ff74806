#include "Fault.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace OstrelFault {
namespace {

Rule rules[8];
std::atomic<long> calls[8];
std::atomic<long> lastCalls[8];
std::atomic<long> counted{0};
std::atomic<int> ruleCount{0};
std::atomic<long> wallClockShift{0};
std::atomic<bool> unknownTypes{false};
std::atomic<void (*)(const char*)> openingHook{nullptr};
std::atomic<int> pollTimeout{0};

// Counts this call of name: the errno it must fail with, or 0.
int check(const char* name) {
    for (int i = 0; i < ruleCount; ++i) {
        if (std::strcmp(rules[i].call, name) == 0) {
            lastCalls[i] = ++counted;
            return ++calls[i] == rules[i].nth ? rules[i].error : 0;
        }
    }
    return 0;
}

// The next definition of the wrapped function after the shim's own: the real one.
template <auto Self> decltype(Self) real(const char* name) {
    static const auto function = reinterpret_cast<decltype(Self)>(dlsym(RTLD_NEXT, name));
    return function;
}

// Fails with errno set and the result `failed`.
template <auto Self, class R, class... Args> R forward(const char* name, R failed, Args... args) {
    const int error = check(name);
    return error != 0 ? (errno = error, failed) : real<Self>(name)(args...);
}

// Resolved at load: the own launcher of the library calls syscall in a child that shares the
// caller's memory, where dlsym must not run.
const auto realSyscall = real<&syscall>("syscall");

} // namespace

Inject::Inject(std::initializer_list<Rule> given) {
    int count = 0;
    for (const Rule& rule : given) {
        if (count == 8) {
            break;
        }
        calls[count] = 0;
        lastCalls[count] = 0;
        rules[count++] = rule;
    }
    ruleCount = count;
}

Inject::~Inject() {
    ruleCount = 0;
}

long callCount(const char* call) {
    for (int i = 0; i < ruleCount; ++i) {
        if (std::strcmp(rules[i].call, call) == 0) {
            return calls[i];
        }
    }
    return 0;
}

long lastCall(const char* call) {
    for (int i = 0; i < ruleCount; ++i) {
        if (std::strcmp(rules[i].call, call) == 0) {
            return lastCalls[i];
        }
    }
    return 0;
}

void shiftWallClock(long seconds) {
    wallClockShift = seconds;
}

void reportUnknownTypes(bool on) {
    unknownTypes = on;
}

void beforeOpendir(void (*hook)(const char* path)) {
    openingHook = hook;
}

int lastPollTimeout() {
    return pollTimeout;
}

} // namespace OstrelFault

using OstrelFault::forward;
using OstrelFault::real;

extern "C" {

int sched_yield() noexcept {
    return forward<&sched_yield>("sched_yield", -1);
}
int poll(pollfd* fds, nfds_t count, int timeout) {
    OstrelFault::pollTimeout = timeout;
    return forward<&poll>("poll", -1, fds, count, timeout);
}
// Fails with the errno as its result.
int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    const int error = OstrelFault::check("pthread_mutex_lock");
    return error != 0 ? error : real<&pthread_mutex_lock>("pthread_mutex_lock")(mutex);
}
int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attribute) noexcept {
    const int error = OstrelFault::check("pthread_mutex_init");
    return error != 0 ? error : real<&pthread_mutex_init>("pthread_mutex_init")(mutex, attribute);
}
int pthread_mutexattr_setpshared(pthread_mutexattr_t* attribute, int shared) noexcept {
    const int error = OstrelFault::check("pthread_mutexattr_setpshared");
    return error != 0 ? error
                      : real<&pthread_mutexattr_setpshared>("pthread_mutexattr_setpshared")(
                            attribute, shared);
}
int munmap(void* address, size_t length) noexcept {
    return forward<&munmap>("munmap", -1, address, length);
}
// Linux releases the descriptor even when close fails.
int close(int fd) {
    const int closed = real<&close>("close")(fd);
    const int error = OstrelFault::check("close");
    return error != 0 ? (errno = error, -1) : closed;
}
int inotify_init1(int flags) noexcept {
    return forward<&inotify_init1>("inotify_init1", -1, flags);
}
int inotify_add_watch(int fd, const char* path, uint32_t mask) noexcept {
    return forward<&inotify_add_watch>("inotify_add_watch", -1, fd, path, mask);
}
int kill(pid_t pid, int signal) noexcept {
    return forward<&kill>("kill", -1, pid, signal);
}
pid_t waitpid(pid_t pid, int* status, int options) {
    return forward<&waitpid>("waitpid", -1, pid, status, options);
}
// The third argument, an int or a pointer, is passed on as the C library reads it itself.
int fcntl(int fd, int command, ...) {
    va_list rest;
    va_start(rest, command);
    void* const argument = va_arg(rest, void*);
    va_end(rest);
    return forward<&fcntl>("fcntl", -1, fd, command, argument);
}
int shm_open(const char* name, int flags, mode_t mode) {
    return forward<&shm_open>("shm_open", -1, name, flags, mode);
}
// The mode and value follow only when the call may create the semaphore.
sem_t* sem_open(const char* name, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(rest, mode_t) : 0;
    const unsigned value = (flags & O_CREAT) != 0 ? va_arg(rest, unsigned) : 0;
    va_end(rest);
    return forward<&sem_open>("sem_open", SEM_FAILED, name, flags, mode, value);
}
int fchmod(int fd, mode_t mode) noexcept {
    return forward<&fchmod>("fchmod", -1, fd, mode);
}
int chmod(const char* path, mode_t mode) noexcept {
    return forward<&chmod>("chmod", -1, path, mode);
}
int sem_close(sem_t* semaphore) noexcept {
    return forward<&sem_close>("sem_close", -1, semaphore);
}
// ThreadSanitizer's runtime reads the clocks too: only the wall clock moves, only when asked.
int clock_gettime(clockid_t clock, timespec* time) noexcept {
    const int result = real<&clock_gettime>("clock_gettime")(clock, time);
    if (clock == CLOCK_REALTIME && result == 0) {
        time->tv_sec += OstrelFault::wallClockShift;
    }
    return result;
}
DIR* opendir(const char* path) {
    if (auto* const hook = OstrelFault::openingHook.load()) {
        hook(path);
    }
    return real<&opendir>("opendir")(path);
}
// The calls made through syscall() by number; only pidfd_open has a rule ("pidfd_open"). Every
// call goes on with its arguments read as the six that a system call can have; reading six where
// fewer were passed reaches into the caller's frame, which AddressSanitizer would report: that
// check is off here.
__attribute__((no_sanitize("address"))) long syscall(long number, ...) noexcept {
    va_list list;
    va_start(list, number);
    long args[6];
    for (long& arg : args) {
        arg = va_arg(list, long);
    }
    va_end(list);
    const int error = number == SYS_pidfd_open ? OstrelFault::check("pidfd_open") : 0;
    return error != 0 ? (errno = error, -1)
                      : OstrelFault::realSyscall(number, args[0], args[1], args[2], args[3],
                                                 args[4], args[5]);
}
dirent* readdir(DIR* stream) {
    dirent* entry = real<&readdir>("readdir")(stream);
    if (entry != nullptr && OstrelFault::unknownTypes) {
        entry->d_type = DT_UNKNOWN;
    }
    return entry;
}
ssize_t write(int fd, const void* data, size_t size) {
    return forward<&write>("write", ssize_t{-1}, fd, data, size);
}
int fsync(int fd) {
    return forward<&fsync>("fsync", -1, fd);
}
int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
    return forward<&renameat>("renameat", -1, fromDir, from, toDir, to);
}
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) noexcept {
    return forward<&linkat>("linkat", -1, fromDir, from, toDir, to, flags);
}
// The mode argument is there only with O_CREAT or O_TMPFILE.
int openat(int dir, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    return forward<&openat>("openat", -1, dir, path, flags, mode);
}
int gettimeofday(timeval* time, void* zone) noexcept {
    const int result = real<&gettimeofday>("gettimeofday")(time, zone);
    if (result == 0) {
        time->tv_sec += OstrelFault::wallClockShift;
    }
    return result;
}

} // extern "C"
