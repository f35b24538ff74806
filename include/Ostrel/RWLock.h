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
#pragma once

#include <Ostrel/Export.h>

#include <cstdint>
#include <pthread.h>

namespace Ostrel {

class OSTREL_API RWLock {
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
    int readLock() noexcept { return pthread_rwlock_rdlock(&rwlock); }
    /// Takes a read hold without blocking: true on success, false on any failure.
    bool tryReadLock() noexcept { return pthread_rwlock_tryrdlock(&rwlock) == 0; }
    /// Blocks until the calling thread holds the lock exclusively. Returns the platform status.
    int writeLock() noexcept { return pthread_rwlock_wrlock(&rwlock); }
    /// Takes the exclusive hold without blocking: true on success, false on any failure.
    bool tryWriteLock() noexcept { return pthread_rwlock_trywrlock(&rwlock) == 0; }
    /// Releases the calling thread's read or write hold. Returns the platform status.
    int unlock() noexcept { return pthread_rwlock_unlock(&rwlock); }

    /// The standard library's name for writeLock.
    void lock() noexcept { writeLock(); }
    /// The standard library's name for tryWriteLock.
    bool try_lock() noexcept { return tryWriteLock(); }
    /// The standard library's name for readLock.
    void lock_shared() noexcept { readLock(); }
    /// The standard library's name for tryReadLock.
    bool try_lock_shared() noexcept { return tryReadLock(); }
    /// The standard library's name for unlock of a read hold.
    void unlock_shared() noexcept { unlock(); }

    /// The number of RWLock objects alive now.
    static std::int64_t useCount() noexcept;

private:
    pthread_rwlock_t rwlock;

    static pthread_rwlockattr_t _attr;
    static std::int64_t _useCount;
};

} // namespace Ostrel
