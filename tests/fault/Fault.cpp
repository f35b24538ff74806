#include "Fault.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace OstrelFault {
namespace {

Rule rules[8];
std::atomic<long> calls[8];
std::atomic<int> ruleCount{0};
std::atomic<long> wallClockShift{0};
std::atomic<bool> unknownTypes{false};
std::atomic<int> pollTimeout{0};

// Counts this call of name: the errno it must fail with, or 0.
int check(const char* name) {
    for (int i = 0; i < ruleCount; ++i) {
        if (std::strcmp(rules[i].call, name) == 0) {
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

} // namespace

Inject::Inject(std::initializer_list<Rule> given) {
    int count = 0;
    for (const Rule& rule : given) {
        if (count == 8) {
            break;
        }
        calls[count] = 0;
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

void shiftWallClock(long seconds) {
    wallClockShift = seconds;
}

void reportUnknownTypes(bool on) {
    unknownTypes = on;
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
dirent* readdir(DIR* stream) {
    dirent* entry = real<&readdir>("readdir")(stream);
    if (entry != nullptr && OstrelFault::unknownTypes) {
        entry->d_type = DT_UNKNOWN;
    }
    return entry;
}
int gettimeofday(timeval* time, void* zone) noexcept {
    const int result = real<&gettimeofday>("gettimeofday")(time, zone);
    if (result == 0) {
        time->tv_sec += OstrelFault::wallClockShift;
    }
    return result;
}

} // extern "C"
