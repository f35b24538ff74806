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
#pragma once

#include <Ostrel/Export.h>

#include <cstdint>
#include <pthread.h>

namespace Ostrel {

class OSTREL_API Mutex {
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
    int lock() noexcept { return pthread_mutex_lock(&mutex); }
    /// Takes the mutex without blocking: true when this thread now holds it (one more level if it
    /// held it already), false when another thread holds it or the call fails.
    bool tryLock() noexcept { return pthread_mutex_trylock(&mutex) == 0; }
    /// Gives up one level of holding. Returns the platform call's status.
    int unlock() noexcept { return pthread_mutex_unlock(&mutex); }

    /// The standard library's name for tryLock.
    bool try_lock() noexcept { return tryLock(); }

    /// The number of Mutex objects alive now.
    static std::int64_t useCount() noexcept;

private:
    pthread_mutex_t mutex;

    static pthread_mutexattr_t _attr;
    static std::int64_t _useCount;
};

} // namespace Ostrel
