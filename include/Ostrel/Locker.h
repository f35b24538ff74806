/// \file
/// \brief Scoped guards that clang's thread-safety analysis understands: Ostrel::Locker,
/// Ostrel::ReadLocker and Ostrel::WriteLocker.
#pragma once

#include <Ostrel/RWLock.h>
#include <Ostrel/ThreadAnnotations.h>

namespace Ostrel {

/// \class Ostrel::Locker
/// \brief Holds a lock exclusively from its construction to its destruction.
///
/// For Ostrel::Mutex, Ostrel::SharedMutex, Ostrel::FileLock and the write side of Ostrel::RWLock
/// (any class with lock() and unlock()). The constructor blocks in lock(), the destructor calls
/// unlock(). Unlike std::lock_guard it carries the annotations of <Ostrel/ThreadAnnotations.h>,
/// so clang's -Wthread-safety knows that data OSTREL_GUARDED_BY the lock may be used in its
/// scope. Nothing allocates; the constructor throws what lock() throws (FileLock's exception, or
/// a thread's cancellation while it waits), and nothing else does. A SharedMutex whose lock fails
/// prints its line and is not held; the Locker's unlock then prints its own.
template <class M> class OSTREL_SCOPED_CAPABILITY Locker {
public:
    /// Blocks until the calling thread holds lock.
    explicit Locker(M& lock) noexcept(noexcept(lock.lock())) OSTREL_ACQUIRE(lock) : held(lock) {
        held.lock();
    }
    /// Releases the lock.
    ~Locker() OSTREL_RELEASE() { held.unlock(); }
    /// Not copyable.
    /// @{
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;
    /// @}

private:
    M& held;
};

/// \class Ostrel::ReadLocker
/// \brief Holds an Ostrel::RWLock for reading from its construction to its destruction.
///
/// The constructor blocks in RWLock::readLock, the destructor calls RWLock::unlock; annotated
/// for clang's -Wthread-safety like Locker. Nothing allocates or throws.
class OSTREL_SCOPED_CAPABILITY ReadLocker {
public:
    /// Blocks until the calling thread holds lock for reading.
    explicit ReadLocker(RWLock& lock) noexcept OSTREL_ACQUIRE_SHARED(lock) : held(lock) {
        held.readLock();
    }
    /// Releases the read hold.
    ~ReadLocker() OSTREL_RELEASE() { held.unlock(); }
    /// Not copyable.
    /// @{
    ReadLocker(const ReadLocker&) = delete;
    ReadLocker& operator=(const ReadLocker&) = delete;
    /// @}

private:
    RWLock& held;
};

/// Holds an Ostrel::RWLock for writing from its construction to its destruction.
using WriteLocker = Locker<RWLock>;

} // namespace Ostrel
