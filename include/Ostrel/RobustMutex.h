/// \file
/// \brief The public header of Ostrel::RobustMutex.

/// \class Ostrel::RobustMutex
/// \brief A recursive lock shared between processes that survives a holder that dies.
///
/// The lock lives in the shared-memory object "/" + name (the SharedMemory name space; permission
/// bits 0666 reduced by the umask), together with a ready flag and the process id of its holder.
/// It is a recursive, process-shared, robust pthread mutex (PTHREAD_MUTEX_ROBUST). The process
/// whose shm_open(O_CREAT | O_EXCL) creates the object initialises the lock and then sets the
/// ready flag; every other constructor, in any process, waits until the flag is set (sleeping on
/// it in the kernel, at most 1 second) and joins the lock as it is. NOBODY EVER RE-INITIALISES
/// IT, so objects of one name may be constructed and destroyed at any time, while others hold
/// the lock or wait for it. The destructor only unmaps the object; the named object outlives
/// every process until remove(name) or "ostrel ipc remove". Unlock before destroying an object
/// through which this process holds the lock: once it is unmapped, the system can no longer hand
/// the lock on when the holding thread ends.
///
/// A holder that ends (crash, SIGKILL, exit) without unlocking hands the lock to the next locker
/// with the result OwnerDied instead of Acquired: that caller holds the lock, repairs the data it
/// guards and calls markConsistent(). If it unlocks without markConsistent(), the lock becomes
/// unusable for every process: each later lock, tryLock and tryLockFor throws "Shared lock is not
/// recoverable" (remove the name and construct it anew).
///
/// Failures are thrown by value as RobustMutex::Exception; the detail is the system's text of the
/// error (strerror):
///   constructor  "Cannot create robust mutex - " + detail (opening, sizing, mapping the object
///                or initialising the lock failed; an object this call created is removed again)
///   constructor  "Shared lock is not initialised" (the object exists but its creator did not
///                set the ready flag within 1 second: it died while initialising, or the name
///                belongs to something else)
///   lock, tryLock, tryLockFor  "Shared lock is not recoverable"
///   lock         "Cannot lock robust mutex - " + detail (any other failure of the platform call)
///   markConsistent  "Cannot mark robust mutex consistent - " + detail (the lock is not held
///                after OwnerDied by the calling thread)
///   remove       "Cannot remove robust mutex - " + detail (any failure but a missing name)
/// tryLock and tryLockFor report any other failure as false, silently. unlock never throws:
/// the calling thread must hold the lock (as for std::mutex); otherwise it prints the line
/// "Cannot unlock robust mutex - " + detail ("Operation not permitted" when the caller does not
/// hold the lock) on standard error, and the lock, its holder and ownerId() stay as they were.
///
/// ownerId() is the process id of the holder, 0 while nobody holds the lock; after a holder died
/// it stays that process's id until the next lock. It is read without taking the lock, so it is a
/// snapshot. The lock operations are safe from any thread of any process; the successful ones are
/// the platform call plus a few loads and stores in the object, inline, and allocate nothing.
/// tryLockFor waits at most a number of milliseconds on the monotonic clock
/// (pthread_mutex_clocklock with CLOCK_MONOTONIC); 0 tries once.
///
/// lock, try_lock and unlock make the class usable with std::lock_guard, std::unique_lock and
/// std::scoped_lock, and try_lock_for / try_lock_until let std::unique_lock time out. THE STANDARD
/// GUARDS DROP THE OwnerDied REPORT: with them a dead holder goes unnoticed, the data is not
/// repaired and the lock becomes unrecoverable at the guard's unlock; use lock() or tryLock()
/// where a holder may die. A RobustMutex is a capability for clang's thread-safety analysis
/// (<Ostrel/ThreadAnnotations.h>). Copying is forbidden.
#pragma once

#include <Ostrel/Export.h>
#include <Ostrel/ThreadAnnotations.h>
#include <Ostrel/Time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include <ctime>

#include <pthread.h>
#include <sys/types.h>

namespace Ostrel {

class OSTREL_CAPABILITY("mutex") OSTREL_API RobustMutex {
public:
    /// The component exception of RobustMutex, thrown by value; it has no base class, so catch
    /// it by its own name (std::exception does not catch it).
    class OSTREL_API Exception {
    public:
        /// The message is text, or text + " - " + detail when detail is not null.
        Exception(const char* text, const char* detail);
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;

    private:
        std::string _message;
    };

    /// How a lock was taken.
    enum LockResult {
        /// From a holder that unlocked it, or free.
        Acquired,
        /// From a holder that ended without unlocking: repair the data, then markConsistent().
        OwnerDied
    };

    /// Creates and initialises the lock "/" + name, or joins it once its creator has made it
    /// ready (waiting at most 1 second). Throws the constructor texts of the class.
    explicit RobustMutex(const char* name);
    /// Unmaps the object; the lock, whoever holds it, and the name stay.
    ~RobustMutex();
    /// Not copyable.
    /// @{
    RobustMutex(const RobustMutex&) = delete;
    RobustMutex& operator=(const RobustMutex&) = delete;
    /// @}

    /// Blocks until the calling thread holds the lock (one more level if it holds it already).
    /// OwnerDied when its holder ended without unlocking. Throws "Shared lock is not recoverable"
    /// or "Cannot lock robust mutex - " + detail.
    LockResult lock() OSTREL_ACQUIRE() {
        const int error = pthread_mutex_lock(&state->mutex);
        if (error != 0) {
            return lockFailed(error);
        }
        noteAcquired();
        return Acquired;
    }
    /// Takes the lock without blocking: true when the calling thread now holds it, with how in
    /// *result when result is not null; false when another holds it or the call fails. Throws
    /// "Shared lock is not recoverable".
    bool tryLock(LockResult* result = nullptr) OSTREL_TRY_ACQUIRE(true) {
        return lockUntil(nullptr, result);
    }
    /// Takes the lock, waiting at most milliseconds on the monotonic clock for its holder, in any
    /// process, to release it; 0 tries once, like tryLock. True when the calling thread now holds
    /// it, with how in *result; false when the time is up or the call fails. Throws "Shared lock
    /// is not recoverable". Does not allocate.
    bool tryLockFor(unsigned long milliseconds, LockResult* result = nullptr)
        OSTREL_TRY_ACQUIRE(true) {
        return tryLock(result) || (milliseconds != 0 && lockWithin(milliseconds, result));
    }
    /// Gives up one level of holding; the calling thread must hold the lock. A refused unlock
    /// (the caller does not hold it) prints its line and changes nothing.
    void unlock() noexcept OSTREL_RELEASE() {
        if (state->owner.load(std::memory_order_relaxed) != _processId ||
            state->holder.load(std::memory_order_relaxed) != pthread_self()) {
            unlockFailed(EPERM);
            return;
        }
        if (--state->depth == 0) {
            state->owner.store(0, std::memory_order_relaxed);
        }
        const int error = pthread_mutex_unlock(&state->mutex);
        if (error != 0) {
            unlockFailed(error);
        }
    }
    /// After OwnerDied, by the thread that holds the lock: the data it guards is repaired, the lock
    /// is usable again. Throws "Cannot mark robust mutex consistent - " + detail otherwise.
    void markConsistent();
    /// The process id of the holder, 0 while nobody holds the lock.
    pid_t ownerId() const noexcept { return state->owner.load(std::memory_order_relaxed); }

    /// The standard library's name for tryLock.
    bool try_lock() OSTREL_TRY_ACQUIRE(true) { return tryLock(); }
    /// The standard library's name for tryLockFor: waits at most duration, rounded up to whole
    /// milliseconds; none or a negative one tries once.
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& duration) OSTREL_TRY_ACQUIRE(true) {
        return tryLockFor(detail::toMilliseconds(duration));
    }
    /// The standard library's timed lock until a time point of any clock, as SharedMutex has it.
    template <class Clock, class Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& limit)
        OSTREL_TRY_ACQUIRE(true) {
        return detail::tryUntil(limit, [this](unsigned long ms) { return tryLockFor(ms); });
    }

    /// Removes the name "/" + name: true when it existed, false when it did not. Processes that
    /// have the lock mapped keep it; a later construction creates a new one. Throws "Cannot remove
    /// robust mutex - " + detail on any other failure.
    static bool remove(const char* name);

private:
    /// What the object "/" + name holds.
    struct State {
        pthread_mutex_t mutex;
        /// 0 until the creator has initialised mutex, then 1; waited on with a futex.
        std::atomic<std::uint32_t> ready;
        /// The holder's process id, or 0.
        std::atomic<pid_t> owner;
        /// The levels the holder holds; written only by the holder.
        std::uint32_t depth;
        /// The holding thread, within the process owner; meaningful while owner is set.
        std::atomic<pthread_t> holder;
    };

    /// Records the calling thread as holder after one more level.
    void noteAcquired() noexcept {
        if (state->depth++ == 0) {
            state->holder.store(pthread_self(), std::memory_order_relaxed);
            state->owner.store(_processId, std::memory_order_relaxed);
        }
    }
    /// The rest of lock after a platform call that returned error.
    LockResult lockFailed(int error);
    /// The rest of lock, tryLock and tryLockFor after a platform call that returned error: true
    /// when the lock was taken from a dead holder.
    bool tookAfter(int error, LockResult* result);
    /// Takes the lock, waiting until deadline on the monotonic clock; null tries once.
    bool lockUntil(const timespec* deadline, LockResult* result);
    /// The wait of tryLockFor, once the lock was not free at once.
    bool lockWithin(unsigned long milliseconds, LockResult* result);
    static void unlockFailed(int error) noexcept;

    /// The mapped object.
    State* state;

    /// The calling process's id, kept up to date across fork (getpid is a system call).
    static pid_t _processId;
};

} // namespace Ostrel
