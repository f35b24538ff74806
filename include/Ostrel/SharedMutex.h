/// \file
/// \brief The public header of Ostrel::SharedMutex.

/// \class Ostrel::SharedMutex
/// \brief A recursive lock shared between the processes that use one name.
///
/// The lock is a process-shared, recursive pthread mutex filling a 40-byte SharedMemory segment
/// "/" + name (permission bits 0666 reduced by the umask; the same name space as SharedMemory).
/// The segment OUTLIVES EVERY PROCESS and is never removed by the library.
///
/// EVERY CONSTRUCTION RE-INITIALISES THE ONE SHARED LOCK, in whatever state another object of the
/// name, in any process, left it; every destruction destroys it. So: construct all users of a name
/// before any of them locks, and destroy one only when no other user will lock again before a new
/// construction. A lock held by a process that died stays held until the next construction of the
/// name (there is no robustness setting).
///
/// Failures:
///   constructor: what SharedMemory::allocate throws (SharedMemory::Exception); otherwise lines on
///     standard error: "Cannot set shared attribute - " + error number (first object of the
///     process; the lock then is recursive but not shared), "Cannot create shared mutex".
///   lock: line "Cannot lock mutex", returns without the lock. unlock: line "Cannot unlock mutex".
///   tryLock, tryLockFor: false when the lock is not taken (in time); print nothing.
///   destructor: a SharedMemory::Exception from releasing the segment is caught, its message
///     printed as one line on standard error, and dropped: the destructor never throws.
/// Every line is ended with a newline and flushed.
///
/// lock/tryLock/tryLockFor/unlock are safe from any thread of any process. try_lock makes the class
/// usable with std::lock_guard, std::unique_lock and std::scoped_lock, and try_lock_for /
/// try_lock_until let std::unique_lock time out. tryLockFor waits at most a number of
/// milliseconds, measured on the monotonic clock (pthread_mutex_clocklock with CLOCK_MONOTONIC),
/// so a change of the system clock neither shortens nor lengthens the wait; 0 tries once. A
/// SharedMutex is a capability for clang's thread-safety analysis (<Ostrel/ThreadAnnotations.h>);
/// Ostrel::Locker holds it in a scope the analysis understands. The class-wide attribute object
/// (_attr, counted by _useCount) is guarded by a process-wide lock during construction and
/// destruction, so objects may be constructed and destroyed from several threads at once.
/// Copying is forbidden.
#pragma once

#include <Ostrel/Export.h>
#include <Ostrel/SharedMemory.h>
#include <Ostrel/ThreadAnnotations.h>
#include <Ostrel/Time.h>

#include <cstdint>

#include <pthread.h>

namespace Ostrel {

class OSTREL_CAPABILITY("mutex") OSTREL_API SharedMutex {
public:
    /// Opens or creates the segment "/" + name and (re-)initialises the lock in it, unlocked,
    /// whatever its state in other objects or processes: see the class notes. The segment is
    /// never removed by the library (use shm_unlink("/" + name) when no process needs it).
    explicit SharedMutex(const char* name);
    /// Destroys the shared lock (for every user of the name) and releases the segment.
    ~SharedMutex();
    /// Not copyable.
    /// @{
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;
    /// @}

    /// Blocks until the calling thread holds the lock (one more level if it holds it already).
    /// One platform call, inline; a failure prints "Cannot lock mutex" and returns unlocked.
    void lock() noexcept OSTREL_ACQUIRE() {
        if (pthread_mutex_lock(mutex) != 0) {
            lockFailed();
        }
    }
    /// True exactly when the lock was taken (one more level for the thread that holds it).
    bool tryLock() noexcept OSTREL_TRY_ACQUIRE(true) { return pthread_mutex_trylock(mutex) == 0; }
    /// Takes the lock, waiting at most milliseconds on the monotonic clock for its holder, in any
    /// process, to release it; 0 tries once, like tryLock. True exactly when the lock was taken
    /// (one more level for the thread that holds it); false when the time is up or the call fails,
    /// silently. Does not allocate.
    bool tryLockFor(unsigned long milliseconds) noexcept OSTREL_TRY_ACQUIRE(true) {
        return tryLock() || (milliseconds != 0 && lockWithin(milliseconds));
    }
    /// Gives up one level of holding; a failure prints "Cannot unlock mutex".
    void unlock() noexcept OSTREL_RELEASE() {
        if (pthread_mutex_unlock(mutex) != 0) {
            unlockFailed();
        }
    }
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

private:
    /// The wait of tryLockFor, once the lock was not free at once.
    bool lockWithin(unsigned long milliseconds) noexcept;
    static void lockFailed() noexcept;
    static void unlockFailed() noexcept;

    SharedMemory memory;
    pthread_mutex_t* mutex;

    static pthread_mutexattr_t _attr;
    static std::int64_t _useCount;
};

} // namespace Ostrel
