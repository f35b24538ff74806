// The deadlines of the timed operations, on CLOCK_MONOTONIC: no setting of the system clock moves
// them. Each timed operation computes its deadline once and gives the same deadline back to the
// platform wait after a spurious wake-up or an interruption, so it waits only the time left.
// Internal: neither installed nor exported.
#pragma once

#include "sync/Cancellation.h"

#include <ctime>

#include <pthread.h>

#if defined(__SANITIZE_THREAD__)
#define OSTREL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OSTREL_THREAD_SANITIZER 1
#endif
#endif
#if defined(OSTREL_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#endif

namespace Ostrel::internal {

constexpr long nanosPerSecond = 1000000000L;

// Now on the monotonic clock plus milliseconds. ULONG_MAX milliseconds add some 1.8e16 seconds,
// far inside time_t; the kernel takes a deadline beyond its own range as none.
inline timespec monotonicDeadline(unsigned long milliseconds) noexcept {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000UL);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000UL) * 1000000L;
    if (deadline.tv_nsec >= nanosPerSecond) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= nanosPerSecond;
    }
    return deadline;
}

// Milliseconds from now until deadline on the monotonic clock, rounded up so that a wait of that
// length never ends early, and at most a day (poll's limit is an int); 0 once the deadline passed.
// A deadline a day or more away is told by its seconds alone: the nanoseconds of a far one (a
// limit of ULONG_MAX milliseconds is some 585 million years) would not fit in 64 bits.
inline int millisecondsUntil(const timespec& deadline) noexcept {
    constexpr long long day = 86400000LL;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long seconds = static_cast<long long>(deadline.tv_sec) - now.tv_sec;
    if (seconds >= day / 1000) {
        return static_cast<int>(day);
    }
    const long long left = seconds * nanosPerSecond + (deadline.tv_nsec - now.tv_nsec);
    if (left <= 0) {
        return 0;
    }
    const long long milliseconds = (left + 999999LL) / 1000000LL;
    return static_cast<int>(milliseconds < day ? milliseconds : day);
}

// Waits on condition, with mutex held, until ready() or milliseconds from now on the monotonic
// clock; true when ready(). A return of 0 from the platform wait is a wake-up, real or spurious:
// ready() decides. Anything else is the time-out (or a failure), and a change that came with it
// still counts. A cancellation point: a thread cancelled in it unwinds with mutex released.
template <class Ready>
bool conditionWait(pthread_cond_t& condition, pthread_mutex_t& mutex, unsigned long milliseconds,
                   Ready ready) {
    const timespec deadline = monotonicDeadline(milliseconds);
    CancellableWait wait(mutex);
    bool result = true;
    while (!ready()) {
        if (pthread_cond_clockwait(&condition, &mutex, CLOCK_MONOTONIC, &deadline) != 0) {
            result = ready();
            break;
        }
    }
    wait.finish();
    return result;
}

// Runs lock(), a pthread_*_clock*lock call on the lock at address, and returns its result.
// ThreadSanitizer intercepts pthread_mutex_lock and pthread_rwlock_rdlock/wrlock but not their
// CLOCK_MONOTONIC variants: under it, the lock is announced around the call as a try-lock, so
// that it knows who holds the lock and checks the data it guards.
template <class Lock> int clockLock(void* address, bool shared, Lock lock) noexcept {
#if defined(OSTREL_THREAD_SANITIZER)
    const unsigned flags = __tsan_mutex_try_lock | (shared ? __tsan_mutex_read_lock : 0U);
    __tsan_mutex_pre_lock(address, flags);
    const int error = lock();
    __tsan_mutex_post_lock(address, flags | (error != 0 ? __tsan_mutex_try_lock_failed : 0U), 0);
    return error;
#else
    (void)address, (void)shared;
    return lock();
#endif
}

} // namespace Ostrel::internal
