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
///   tryLock: false when the lock is not taken; prints nothing.
///   destructor: a SharedMemory::Exception from releasing the segment is caught, its message
///     printed as one line on standard error, and dropped: the destructor never throws.
/// Every line is ended with a newline and flushed.
///
/// lock/tryLock/unlock are safe from any thread of any process. try_lock makes the class usable
/// with std::lock_guard, std::unique_lock and std::scoped_lock. The class-wide attribute object
/// (_attr, counted by _useCount) is guarded by a process-wide lock during construction and
/// destruction, so objects may be constructed and destroyed from several threads at once.
/// Copying is forbidden.
#pragma once

#include <Ostrel/Export.h>
#include <Ostrel/SharedMemory.h>

#include <cstdint>

#include <pthread.h>

namespace Ostrel {

class OSTREL_API SharedMutex {
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
    void lock() noexcept {
        if (pthread_mutex_lock(mutex) != 0) {
            lockFailed();
        }
    }
    /// True exactly when the lock was taken (one more level for the thread that holds it).
    bool tryLock() noexcept { return pthread_mutex_trylock(mutex) == 0; }
    /// Gives up one level of holding; a failure prints "Cannot unlock mutex".
    void unlock() noexcept {
        if (pthread_mutex_unlock(mutex) != 0) {
            unlockFailed();
        }
    }
    /// The standard library's name for tryLock.
    bool try_lock() noexcept { return tryLock(); }

private:
    static void lockFailed() noexcept;
    static void unlockFailed() noexcept;

    SharedMemory memory;
    pthread_mutex_t* mutex;

    static pthread_mutexattr_t _attr;
    static std::int64_t _useCount;
};

} // namespace Ostrel
