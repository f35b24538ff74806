/// \file
/// \brief The public header of Ostrel::SharedSemaphore.

/// \class Ostrel::SharedSemaphore
/// \brief A counting semaphore shared between processes under a name.
///
/// The constructor opens the POSIX named semaphore "/" + name with O_CREAT (never exclusive) and
/// permission bits 0644 reduced by the process's umask. A new semaphore starts at value; an
/// existing one keeps its current value and value is not used. The named semaphore and its value
/// OUTLIVE EVERY PROCESS: the library never removes it (no sem_unlink, not even in the
/// destructor); remove leftovers with "ostrel ipc remove NAME".
///
/// Nothing throws. Each failure prints one line on standard error, ended and flushed, with the
/// system's text (strerror(errno)), and the operation returns:
///   constructor "Cannot create shared semaphore - " + text (the object then has no semaphore)
///   destructor  "Cannot close shared semaphore - " + text
///   up          "Cannot post shared semaphore - " + text
///   down        "Cannot wait on shared semaphore - " + text (nothing taken; a wait interrupted
///               by a signal is not retried)
///   tryDown, downFor  the same line as down, and false; a count of 0 (tryDown) or the end of
///               the time (downFor) is not a failure and prints nothing
///   value       "Cannot get value of shared semaphore - " + text, and -1
///   remove      "Cannot remove shared semaphore - " + text, and false (any failure but a
///               missing name)
/// On an object without semaphore, every operation and the destructor print their line with the
/// text of EINVAL ("Invalid argument") and touch nothing.
///
/// downFor waits at most a number of milliseconds, measured on the monotonic clock (sem_clockwait
/// with CLOCK_MONOTONIC), so a change of the system clock neither shortens nor lengthens it; an
/// interruption by a signal goes back to waiting for the time left; 0 tries once. Nothing
/// allocates but the printing of a failure. Every operation may be called from any thread of any
/// process. Copying is forbidden.
///
/// Cancellation: down and downFor are cancellation points. A thread cancelled while it waits in
/// them (Thread::terminate) ends there, as its cancellation says, without taking anything: the
/// system's semaphore wait cleans up after itself. They are the bare platform waits (sem_wait,
/// sem_clockwait), which are not safe for asynchronous cancellation at every instruction: the
/// cancellation of a Thread body is meant to find them asleep.
#pragma once

#include <Ostrel/Export.h>

#include <semaphore.h>
#include <sys/types.h>

namespace Ostrel {

class OSTREL_API SharedSemaphore {
public:
    /// Opens or creates the named semaphore "/" + name; a new one starts at value, an existing
    /// one keeps its count. Never removed by the library (use sem_unlink("/" + name)).
    SharedSemaphore(const char* name, int value);
    /// As SharedSemaphore(name, value), but a semaphore that this call creates gets exactly the
    /// permission bits mode, whatever the umask. A named semaphore has no descriptor: it is
    /// created exclusively (O_EXCL) and its file, /dev/shm/sem. + name, is given mode with chmod
    /// right after; a failure there removes it again and prints the constructor's line. An
    /// existing semaphore is opened as it is and keeps its mode and count.
    SharedSemaphore(const char* name, int value, mode_t mode);
    /// Closes the semaphore for this process; the named semaphore and its count stay.
    ~SharedSemaphore();
    /// Not copyable.
    /// @{
    SharedSemaphore(const SharedSemaphore&) = delete;
    SharedSemaphore& operator=(const SharedSemaphore&) = delete;
    /// @}

    /// Adds 1 to the count (sem_post), one platform call inline; a failure prints "Cannot post
    /// shared semaphore - " + error text.
    void up() noexcept {
        if (semaphore == nullptr || sem_post(semaphore) == -1) {
            postFailed();
        }
    }
    /// Waits until the count is at least 1 and takes 1 (sem_wait); a failure, an interruption by
    /// a signal included, prints "Cannot wait on shared semaphore - " + error text and returns
    /// without taking anything. A cancellation point (see the class note).
    void down() {
        if (semaphore == nullptr || sem_wait(semaphore) == -1) {
            waitFailed();
        }
    }
    /// Takes 1 if the count is at least 1, without waiting (sem_trywait): true when it took one.
    bool tryDown() noexcept { return downFor(0); }
    /// Takes 1 as soon as the count is at least 1, waiting at most milliseconds on the monotonic
    /// clock; 0 tries once, like tryDown. A count that is positive at once costs one sem_trywait.
    /// ULONG_MAX waits without limit. True when it took one; false when the time is up, or after
    /// printing the line of down when the wait fails. A cancellation point (see the class note).
    bool downFor(unsigned long milliseconds) {
        return (semaphore != nullptr && sem_trywait(semaphore) == 0) || awaitCount(milliseconds);
    }
    /// The current count (sem_getvalue), 0 or more; -1 after printing "Cannot get value of shared
    /// semaphore - " + error text.
    int value() const noexcept;

    /// Removes the name "/" + name (sem_unlink): true when it existed; false when it did not, or
    /// after printing "Cannot remove shared semaphore - " + error text. Processes that have it
    /// open keep it; a later construction creates a new one.
    static bool remove(const char* name);

private:
    /// Print the line of the failed operation: the text of errno, or of EINVAL without semaphore.
    void postFailed() const noexcept;
    void waitFailed() const noexcept;
    /// The rest of downFor after a sem_trywait that did not take one.
    bool awaitCount(unsigned long milliseconds) const;

    /// The open semaphore; null when opening failed.
    sem_t* semaphore;
};

} // namespace Ostrel
