/// \file
/// \brief The public header of Ostrel::FileLock.

/// \class Ostrel::FileLock
/// \brief A lock on a whole file, exclusive or shared, between processes and between threads,
/// that the system releases when its holder ends.
///
/// The constructor opens the file for reading and writing (a write lock needs a descriptor open
/// for writing), creating it with the permission bits 0666 reduced by the umask; the descriptor
/// is close-on-exec and never one of the standard descriptors 0, 1 and 2 (in a program whose
/// standard output is closed, a child's output does not become the lock file). The lock is an
/// open file description lock (fcntl F_OFD_SETLK and F_OFD_SETLKW, Linux 3.15 and later) on the
/// whole file, and so:
/// - it belongs to this object's open file description, not to the process: two FileLock
///   objects of one file exclude each other in one process too, in one thread or in several;
/// - closing some other descriptor of the file, or destroying another FileLock of it, leaves it
///   held (a process lock of fcntl would be released);
/// - the kernel releases it when the last descriptor of the description closes, so a holder
///   that ends in any way (exit, crash, SIGKILL) never leaves a stale lock behind, and there is
///   nothing to clean up. The file stays; its contents are never read or written;
/// - it is advisory: it excludes the other lockers of the file, not its readers and writers.
///
/// One object is one holder. A lock or lockShared while this object already holds that kind
/// returns at once (holds are not counted: one unlock releases). lockShared while it holds the
/// exclusive lock turns it into a shared one at once. lock while it holds a shared lock turns it
/// into the exclusive one once the other shared holders have let go, keeping the shared hold
/// while it waits; two objects that both wait like this wait for each other forever (the
/// kernel detects no deadlock between such locks): unlock and lock again instead, or use
/// tryLockFor. A try that fails keeps what the object held. Threads that share one object share
/// its hold: give each thread that must be excluded its own FileLock.
///
/// lock and lockShared sleep in the kernel until they hold the lock. tryLockFor and
/// tryLockSharedFor cannot (the kernel has no timed wait for these locks): they try at once and
/// then again after pauses of 1, 2, 4 and 8 ms and then 10 ms each, the last pause cut short at
/// the limit, which is measured on the monotonic clock. They return by the limit plus the
/// scheduling delay of one try (within 15 ms on a machine that is not overloaded), and a lock
/// released during a pause is taken at the next try. 0 tries once; ULONG_MAX means no limit and
/// waits as lock does. A signal handled during a wait does not end it: lock goes back to
/// waiting, the timed forms go on with the time that is left. The waits are cancellation points
/// (fcntl F_OFD_SETLKW, clock_nanosleep): a thread cancelled there unwinds without the lock it
/// waited for, keeping what it held before. (valgrind 3.19 does not know that F_OFD_SETLKW
/// blocks: under it, a thread waiting in lock stops the other threads of its process, and a lock
/// that one of them holds is never handed over.)
///
/// Failures are thrown by value as FileLock::Exception, whose error() is the error number:
///   constructor  "Cannot open lock file - " + the system's text (ENOENT for a path in a missing
///                directory, EISDIR for a directory, EACCES, EINVAL for a path with a NUL byte)
///   lock operations  "Cannot lock file - " + the system's text, for any failure other than the
///                lock being held (EBADF on a moved-from object, EINVAL where the kernel has no
///                open file description locks, ENOLCK). A try form is false only when another
///                holder has the lock, never for a failure.
/// unlock is noexcept (guards call it from their destructors): on an open descriptor it cannot
/// fail, and on a moved-from object it does nothing.
///
/// A child made by fork shares the open file description and with it the hold: the lock stays
/// held while either process has the descriptor, and unlock in either (a FileLock destroyed in
/// the child, by exit say) releases it for both. A forked child that must leave the lock alone
/// ends with _exit or execs (close-on-exec closes its copy). A program that the holder starts
/// does not keep the lock after the holder ends.
///
/// The standard names lock, try_lock, try_lock_for, try_lock_until and unlock make the class
/// usable with std::lock_guard, std::unique_lock and std::scoped_lock; lock_shared,
/// try_lock_shared, try_lock_shared_for, try_lock_shared_until and unlock_shared with
/// std::shared_lock. A FileLock is a capability for clang's thread-safety analysis
/// (<Ostrel/ThreadAnnotations.h>): Ostrel::Locker holds it in a scope the analysis understands,
/// and ThreadSanitizer is told of each hand-over between two objects of one file. An object may
/// be used from any thread, but not moved or destroyed while another thread uses it. Movable;
/// copying is forbidden.
#pragma once

#include <Ostrel/Export.h>
#include <Ostrel/ThreadAnnotations.h>
#include <Ostrel/Time.h>

#include <string>

namespace Ostrel {

class OSTREL_CAPABILITY("mutex") OSTREL_API FileLock {
public:
    /// The component exception of FileLock, thrown by value; it has no base class, so catch it
    /// by its own name (std::exception does not catch it).
    class OSTREL_API Exception {
    public:
        /// The message is text + " - " + the system's text of error, or text alone for error 0.
        Exception(const char* text, int error);
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;
        /// The error number (ENOENT, EISDIR, ...), 0 when there is none.
        int error() const noexcept { return _error; }

    private:
        std::string _message;
        int _error;
    };

    /// Opens the file at path, creating it when it does not exist; holds no lock yet. Throws
    /// "Cannot open lock file - " + the system's text.
    explicit FileLock(std::string path);
    /// Releases the lock it holds and closes its descriptor.
    ~FileLock();
    /// Takes over other's descriptor, hold and path; other is left moved-from.
    FileLock(FileLock&& other) noexcept;
    /// Releases the lock this object holds and closes its descriptor, then takes over other's;
    /// other is left moved-from. Assigning an object to itself changes nothing.
    FileLock& operator=(FileLock&& other) noexcept;
    /// Not copyable.
    /// @{
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    /// @}

    /// Sleeps in the kernel until this object holds the lock exclusively. Throws "Cannot lock
    /// file - " + the system's text.
    void lock() OSTREL_ACQUIRE();
    /// Takes the exclusive lock without waiting: false when another holder has the lock.
    bool tryLock() OSTREL_TRY_ACQUIRE(true);
    /// Takes the exclusive lock, waiting at most milliseconds (see the class notes): false when
    /// another holder still has it at the limit.
    bool tryLockFor(unsigned long milliseconds) OSTREL_TRY_ACQUIRE(true);
    /// Sleeps in the kernel until this object holds the lock shared with other shared holders.
    void lockShared() OSTREL_ACQUIRE_SHARED();
    /// Takes a shared lock without waiting: false when another holder has the exclusive lock.
    bool tryLockShared() OSTREL_TRY_ACQUIRE_SHARED(true);
    /// Takes a shared lock, waiting at most milliseconds: false when another holder still has
    /// the exclusive lock at the limit.
    bool tryLockSharedFor(unsigned long milliseconds) OSTREL_TRY_ACQUIRE_SHARED(true);
    /// Releases the lock this object holds, exclusive or shared; does nothing when it holds none.
    void unlock() noexcept OSTREL_RELEASE_GENERIC();

    /// The path given to the constructor; empty in a moved-from object.
    const std::string& path() const noexcept { return _path; }
    /// The open descriptor of the file, -1 in a moved-from object. The object owns it: do not
    /// close it (the lock would go with it).
    int fd() const noexcept { return _fd; }

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
    /// The standard library's name for lockShared.
    void lock_shared() OSTREL_ACQUIRE_SHARED() { lockShared(); }
    /// The standard library's name for tryLockShared.
    bool try_lock_shared() OSTREL_TRY_ACQUIRE_SHARED(true) { return tryLockShared(); }
    /// The standard library's name for tryLockSharedFor, with durations as try_lock_for.
    template <class Rep, class Period>
    bool try_lock_shared_for(const std::chrono::duration<Rep, Period>& duration)
        OSTREL_TRY_ACQUIRE_SHARED(true) {
        return tryLockSharedFor(detail::toMilliseconds(duration));
    }
    /// The standard library's timed shared lock until a time point of any clock.
    template <class Clock, class Duration>
    bool try_lock_shared_until(const std::chrono::time_point<Clock, Duration>& limit)
        OSTREL_TRY_ACQUIRE_SHARED(true) {
        return detail::tryUntil(limit, [this](unsigned long ms) { return tryLockSharedFor(ms); });
    }
    /// The standard library's name for unlock of a shared hold.
    void unlock_shared() noexcept OSTREL_RELEASE_SHARED() { unlock(); }

private:
    /// Takes the lock of type (F_WRLCK or F_RDLCK) waiting at most milliseconds; true when taken.
    bool take(short type, unsigned long milliseconds);
    /// Releases the hold and closes the descriptor, if any.
    void close() noexcept;

    std::string _path;
    int _fd;
};

} // namespace Ostrel
