/// \file
/// \brief The public header of Ostrel::Process.

/// \class Ostrel::Process
/// \brief One external program run as a child of the calling process.
///
/// start() forks and runs argv[0] with execv: the file name is used exactly as given (no search
/// through PATH), with the argument vector argv (null-terminated, argv[0] included) and the
/// caller's environment. start() returns as soon as the child exists; a program that cannot be
/// run (missing, not executable) is not reported by start() but shows as exit code 255 from
/// join(). terminate() kills the child with SIGKILL; join() waits for it and returns its exit
/// status (0..255), or, for a child that a signal ended, exitCode: the code of the last
/// terminate() (0 until then), whichever signal it was and whoever sent it.
/// One object holds at most one child at a time and can start another after join().
/// The destructor waits for a child still held; it does not kill it. A thread cancelled while it
/// waits there (Thread::terminate) still reaps the child first, then ends: the wait holds the
/// cancellation off, and the destructor lets it pass (noexcept(false)) once the child is reaped.
///
/// Failures are thrown as Process::Exception (by value); the error text is strerror(errno):
///   start     "Process is already running", "Cannot fork process - " + error text
///   terminate "Process doesn't run", "Cannot terminate process - " + error text
///   join      "Process doesn't run", "Cannot join process - " + error text
///
/// DANGER - fork in a threaded program. The child is a copy of the calling process with only the
/// calling thread in it; the locks other threads held at the moment of the fork stay held in the
/// child for ever. In the child nothing but execv runs, and, if execv fails, exit(-1), which runs
/// the child's exit handlers and static destructors and flushes its copy of the stdio buffers:
/// a handler or destructor that takes a lock another thread held can deadlock the child, and
/// output still buffered in the parent at the fork can appear twice. Flush standard output before
/// start(), and keep exit handlers lock-free in programs that start processes from threads.
///
/// Not thread-safe: an object has no lock; one thread at a time uses it.
#pragma once

#include <Ostrel/Export.h>

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace Ostrel {

class OSTREL_API Process {
public:
    /// The component exception of Process, thrown by value; it has no base class, so catch it by
    /// its own name (std::exception does not catch it).
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

    /// An object with no child.
    Process() noexcept = default;
    /// Waits for a child still held (it does not kill it). Throws nothing of its own; a
    /// cancellation of the calling thread that came during the wait acts as it returns.
    ~Process() noexcept(false);
    /// Not copyable: one object owns one child.
    /// @{
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    /// @}

    /// Forks and runs argv[0] in the child with execv (no PATH search); returns once the child
    /// exists. Throws the start texts of the class. A program that cannot be run shows up as
    /// exit code 255 from join(). See the fork DANGER note of the class.
    void start(char* const* argv);
    /// Stores code in exitCode first (also when it then throws), then sends SIGKILL; the child
    /// still has to be joined. Throws the terminate texts of the class.
    void terminate(int code);
    /// Waits for the child, forgets it and returns its exit status (0..255), or terminateCode()
    /// for a child that a signal ended. Throws the join texts of the class.
    int join();

    /// The child's process id, or -1 when the object has no child.
    pid_t childId() const noexcept { return pid; }
    /// What join() returns for a child ended by a signal.
    std::int32_t terminateCode() const noexcept { return exitCode; }

private:
    pid_t pid = -1;
    std::int32_t exitCode = 0;
};

} // namespace Ostrel
