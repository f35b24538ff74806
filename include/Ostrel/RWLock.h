/// \file
/// \brief The public header of Ostrel::RWLock.

/// \class Ostrel::RWLock
/// \brief A reader/writer lock for the threads of one process: many readers or one
/// writer, with the platform's own preference between waiting readers and writers.
///
/// Every RWLock initialises its lock from one class-wide attribute object (_attr, platform
/// defaults), set up by the first construction and torn down by the destruction of the last
/// RWLock; _useCount counts the live objects. Construction and destruction keep that bookkeeping
/// under an internal lock, so RWLock objects may be created and destroyed in several threads at
/// once; the lock operations themselves are one platform call each, inline, and take
/// nothing else.
///
/// Not recursive: a thread that holds the write lock and asks for it (or a read lock) again
/// deadlocks or fails, as the platform decides. Nothing is thrown or printed; nothing allocates.
/// The try-operations report every failure as false (held elsewhere included); the results of
/// the other calls are handed back unexamined. Destroying an RWLock that a thread holds or waits
/// for is undefined. The standard names (lock, try_lock, unlock for the exclusive hold;
/// lock_shared, try_lock_shared, unlock_shared for the shared one) make an RWLock usable with
/// std::lock_guard, std::unique_lock, std::scoped_lock and std::shared_lock.
///
/// tryReadLockFor and tryWriteLockFor wait at most a number of milliseconds, measured on the
/// monotonic clock (pthread_rwlock_clockrdlock / clockwrlock with CLOCK_MONOTONIC), so a change of
/// the system clock neither shortens nor lengthens the wait; 0 tries once without waiting. The
/// standard timed names (try_lock_for, try_lock_until; try_lock_shared_for,
/// try_lock_shared_until) let std::unique_lock and std::shared_lock time out. An RWLock is a
/// capability for clang's thread-safety analysis (<Ostrel/ThreadAnnotations.h>);
/// Ostrel::ReadLocker and Ostrel::WriteLocker hold it in a scope the analysis understands.
#pragma once

#include <Ostrel/Export.h>
#include <Ostrel/ThreadAnnotations.h>
#include <Ostrel/Time.h>

#include <cstdint>
#include <pthread.h>

namespace Ostrel {

class OSTREL_CAPABILITY("rwlock") OSTREL_API RWLock {
public:
    /// An unlocked lock; the first one in the process sets up the attribute object.
    RWLock() noexcept;
    /// Destroys the lock; the last RWLock also destroys the attribute object.
    ~RWLock();
    /// Not copyable.
    /// @{
    RWLock(const RWLock&) = delete;
    RWLock& operator=(const RWLock&) = delete;
    /// @}

    /// Blocks until the calling thread holds the lock for reading. Returns the platform status.
    int readLock() noexcept OSTREL_ACQUIRE_SHARED() { return pthread_rwlock_rdlock(&rwlock); }
    /// Takes a read hold without blocking: true on success, false on any failure.
    bool tryReadLock() noexcept OSTREL_TRY_ACQUIRE_SHARED(true) {
        return pthread_rwlock_tryrdlock(&rwlock) == 0;
    }
    /// Takes a read hold, waiting at most milliseconds on the monotonic clock while a writer
    /// holds the lock; 0 tries once, like tryReadLock. True on success; false when the time is
    /// up or the call fails. Does not allocate.
    bool tryReadLockFor(unsigned long milliseconds) noexcept OSTREL_TRY_ACQUIRE_SHARED(true) {
        return tryReadLock() || (milliseconds != 0 && readLockWithin(milliseconds));
    }
    /// Blocks until the calling thread holds the lock exclusively. Returns the platform status.
    int writeLock() noexcept OSTREL_ACQUIRE() { return pthread_rwlock_wrlock(&rwlock); }
    /// Takes the exclusive hold without blocking: true on success, false on any failure.
    bool tryWriteLock() noexcept OSTREL_TRY_ACQUIRE(true) {
        return pthread_rwlock_trywrlock(&rwlock) == 0;
    }
    /// Takes the exclusive hold, waiting at most milliseconds on the monotonic clock while others
    /// hold the lock; 0 tries once, like tryWriteLock. True on success; false when the time is up
    /// or the call fails (the calling thread holding the lock already included). Does not
    /// allocate.
    bool tryWriteLockFor(unsigned long milliseconds) noexcept OSTREL_TRY_ACQUIRE(true) {
        return tryWriteLock() || (milliseconds != 0 && writeLockWithin(milliseconds));
    }
    /// Releases the calling thread's read or write hold. Returns the platform status.
    int unlock() noexcept OSTREL_RELEASE_GENERIC() { return pthread_rwlock_unlock(&rwlock); }

    /// The standard library's name for writeLock.
    void lock() noexcept OSTREL_ACQUIRE() { writeLock(); }
    /// The standard library's name for tryWriteLock.
    bool try_lock() noexcept OSTREL_TRY_ACQUIRE(true) { return tryWriteLock(); }
    /// The standard library's name for tryWriteLockFor: waits at most duration, rounded up to
    /// whole milliseconds; none or a negative one tries once.
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& duration) OSTREL_TRY_ACQUIRE(true) {
        return tryWriteLockFor(detail::toMilliseconds(duration));
    }
    /// The standard library's timed exclusive lock until a time point of any clock: tries once
    /// when it has passed; a clock other than std::chrono::steady_clock is read again when a wait
    /// ends, and the wait goes on while that clock has not reached the time point.
    template <class Clock, class Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& limit)
        OSTREL_TRY_ACQUIRE(true) {
        return detail::tryUntil(limit, [this](unsigned long ms) { return tryWriteLockFor(ms); });
    }
    /// The standard library's name for readLock.
    void lock_shared() noexcept OSTREL_ACQUIRE_SHARED() { readLock(); }
    /// The standard library's name for tryReadLock.
    bool try_lock_shared() noexcept OSTREL_TRY_ACQUIRE_SHARED(true) { return tryReadLock(); }
    /// The standard library's name for tryReadLockFor, as try_lock_for.
    template <class Rep, class Period>
    bool try_lock_shared_for(const std::chrono::duration<Rep, Period>& duration)
        OSTREL_TRY_ACQUIRE_SHARED(true) {
        return tryReadLockFor(detail::toMilliseconds(duration));
    }
    /// The standard library's timed read lock until a time point of any clock, as
    /// try_lock_until.
    template <class Clock, class Duration>
    bool try_lock_shared_until(const std::chrono::time_point<Clock, Duration>& limit)
        OSTREL_TRY_ACQUIRE_SHARED(true) {
        return detail::tryUntil(limit, [this](unsigned long ms) { return tryReadLockFor(ms); });
    }
    /// The standard library's name for unlock of a read hold.
    void unlock_shared() noexcept OSTREL_RELEASE_SHARED() { unlock(); }

    /// The number of RWLock objects alive now.
    static std::int64_t useCount() noexcept;

private:
    /// The waits of tryReadLockFor and tryWriteLockFor, once the lock was not free at once.
    bool readLockWithin(unsigned long milliseconds) noexcept;
    bool writeLockWithin(unsigned long milliseconds) noexcept;

    pthread_rwlock_t rwlock;

    static pthread_rwlockattr_t _attr;
    static std::int64_t _useCount;
};

} // namespace Ostrel
