/// \file
/// \brief The public header of Ostrel::Mutex.

/// \class Ostrel::Mutex
/// \brief A recursive mutex for the threads of one process.
///
/// The thread that holds a Mutex may lock it again at once and must unlock it as often as it
/// locked it. Every Mutex initialises its lock from one class-wide attribute object (_attr), set
/// up by the first construction and torn down by the destruction of the last Mutex; _useCount
/// counts the live objects. Construction and destruction keep that bookkeeping under an internal
/// lock, so Mutex objects may be created and destroyed in several threads at once; the lock
/// operations themselves are one platform call each, inline, and take nothing else.
///
/// Nothing is thrown or printed; nothing allocates. tryLock reports every failure as false (held
/// by another thread included); the results of the other calls are handed back unexamined.
/// Destroying a Mutex that a thread holds or waits for is undefined. lock/try_lock/unlock make a
/// Mutex usable with std::lock_guard, std::unique_lock and std::scoped_lock.
///
/// tryLockFor waits at most a number of milliseconds for the mutex, measured on the monotonic
/// clock (pthread_mutex_clocklock with CLOCK_MONOTONIC), so a change of the system clock neither
/// shortens nor lengthens it; 0 tries once without waiting. try_lock_for and try_lock_until are
/// the standard library's names for it, so that std::unique_lock can time out. A Mutex is a
/// capability for clang's thread-safety analysis (<Ostrel/ThreadAnnotations.h>); Ostrel::Locker
/// holds it in a scope the analysis understands.
#pragma once

#include <Ostrel/Export.h>
#include <Ostrel/ThreadAnnotations.h>
#include <Ostrel/Time.h>

#include <cstdint>
#include <pthread.h>

namespace Ostrel {

class OSTREL_CAPABILITY("mutex") OSTREL_API Mutex {
public:
    /// An unlocked recursive mutex; the first one in the process sets up the attribute object.
    Mutex() noexcept;
    /// Destroys the lock; the last Mutex also destroys the attribute object.
    ~Mutex();
    /// Not copyable.
    /// @{
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    /// @}

    /// Blocks until the calling thread holds the mutex (one more level if it holds it already).
    /// Returns the platform call's status.
    int lock() noexcept OSTREL_ACQUIRE() { return pthread_mutex_lock(&mutex); }
    /// Takes the mutex without blocking: true when this thread now holds it (one more level if it
    /// held it already), false when another thread holds it or the call fails.
    bool tryLock() noexcept OSTREL_TRY_ACQUIRE(true) { return pthread_mutex_trylock(&mutex) == 0; }
    /// Takes the mutex, waiting at most milliseconds on the monotonic clock for another thread to
    /// release it; 0 tries once, like tryLock. True when this thread now holds it (one more level
    /// if it held it already); false when the time is up or the call fails. Does not allocate.
    bool tryLockFor(unsigned long milliseconds) noexcept OSTREL_TRY_ACQUIRE(true) {
        return tryLock() || (milliseconds != 0 && lockWithin(milliseconds));
    }
    /// Gives up one level of holding. Returns the platform call's status.
    int unlock() noexcept OSTREL_RELEASE() { return pthread_mutex_unlock(&mutex); }

    /// The standard library's name for tryLock.
    bool try_lock() noexcept OSTREL_TRY_ACQUIRE(true) { return tryLock(); }
    /// The standard library's name for tryLockFor: waits at most duration, rounded up to whole
    /// milliseconds; none or a negative one tries once.
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& duration) OSTREL_TRY_ACQUIRE(true) {
        return tryLockFor(detail::toMilliseconds(duration));
    }
    /// The standard library's timed lock until a time point of any clock: tries once when it has
    /// passed; a clock other than std::chrono::steady_clock is read again when a wait ends, and
    /// the wait goes on while that clock has not reached the time point.
    template <class Clock, class Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& limit)
        OSTREL_TRY_ACQUIRE(true) {
        return detail::tryUntil(limit, [this](unsigned long ms) { return tryLockFor(ms); });
    }

    /// The number of Mutex objects alive now.
    static std::int64_t useCount() noexcept;

private:
    /// The wait of tryLockFor, once the mutex was not free at once.
    bool lockWithin(unsigned long milliseconds) noexcept;

    pthread_mutex_t mutex;

    static pthread_mutexattr_t _attr;
    static std::int64_t _useCount;
};

} // namespace Ostrel
