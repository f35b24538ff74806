/// \file
/// \brief The public header of Ostrel::Child.

/// \class Ostrel::Child
/// \brief One child process started by Command::start(), owned until it is waited for.
///
/// wait() collects the child and returns how it ended; waitFor() does the same within a time
/// limit, sleeping in the kernel on the child's process file descriptor (pidFd(), opened when
/// the child starts, so it always names this child and never a process that reused its id),
/// not polling in a loop. Where the system gives no process descriptor - Linux before 5.3,
/// valgrind, a container's seccomp filter (EPERM), no descriptor left (EMFILE, ENFILE) -
/// pidFd() is -1 and waitFor() falls back to looking every 1 to 50 ms. After the first
/// successful wait the status is kept: later waits return it at once, and kill() reports ESRCH
/// (the process id may belong to another process by then).
///
/// A caller that ignores SIGCHLD (SIG_IGN, or SA_NOCLDWAIT) asks the system to reap its children
/// itself, and it does: wait() and waitFor() then throw "Cannot wait for child - No child
/// processes" (ECHILD) once the child has ended, with no status to give. Restore SIGCHLD to its
/// default action before starting children whose status matters. killGroup() signals the child's
/// own process group (kill(-id(), signal)), which exists only when the child was started with
/// Command::newProcessGroup(true); the group may outlive the child, so killGroup() still works
/// after the child was waited for, while the group has members.
///
/// The pipes that Command set up for the child's standard streams belong to the Child:
/// stdinFd(), stdoutFd() and stderrFd() give the parent's ends (-1 when the stream is not a
/// pipe or has been closed). readStdout() and readStderr() read until end of file and then close
/// that end; reading one while the child fills the other pipe can deadlock, so read a child that
/// writes a lot to both from two threads or with poll on the descriptors.
///
/// The destructor closes the pipe ends first (a child waiting for input sees end of file), then
/// waits for a child not yet waited for: no zombie is left, but a child that never ends keeps
/// the destructor waiting; kill it first. A moved-from Child owns nothing.
///
/// Failures are thrown as Command::Exception (by value) with the error number:
///   wait, waitFor        "Cannot wait for child - " + error text
///   kill, killGroup      "Cannot signal child - " + error text
///   killGroup            "Child has no process group of its own" (error 0)
///   readStdout/Stderr    "Cannot read from child - " + error text
/// A wait or read interrupted by a signal goes on (waitFor with the time that is left).
///
/// Not thread-safe: an object has no lock; one thread at a time uses it.
#pragma once

#include <Ostrel/ExitStatus.h>
#include <Ostrel/Export.h>

#include <sys/types.h>

#include <optional>
#include <string>

namespace Ostrel {

class Command;

class OSTREL_API Child {
public:
    /// Closes the pipe ends, then waits for a child not yet waited for.
    ~Child();
    /// Takes over other's child and pipes; other then owns nothing.
    Child(Child&& other) noexcept;
    /// Ends what this object owns as the destructor does, then takes over other's child.
    Child& operator=(Child&& other) noexcept;
    /// Not copyable: one object owns one child.
    /// @{
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    /// @}

    /// The child's process id; -1 for a moved-from object.
    pid_t id() const noexcept { return _pid; }
    /// The child's process descriptor, for the caller's own poll loop: readable once the child
    /// has ended. The Child owns it and closes it when it goes; -1 where the system gives none.
    int pidFd() const noexcept { return _pidfd; }
    /// Waits until the child ends and returns how it ended.
    ExitStatus wait();
    /// Waits at most milliseconds (0: only looks) on the monotonic clock; empty when the child
    /// still runs at the limit.
    std::optional<ExitStatus> waitFor(unsigned long milliseconds);
    /// Sends signal to the child.
    void kill(int signal);
    /// Sends signal to every process of the child's own process group.
    void killGroup(int signal);

    /// The parent's end of the child's standard input pipe, or -1.
    int stdinFd() const noexcept { return _stdin; }
    /// The parent's end of the child's standard output pipe, or -1.
    int stdoutFd() const noexcept { return _stdout; }
    /// The parent's end of the child's standard error pipe, or -1.
    int stderrFd() const noexcept { return _stderr; }
    /// Closes the standard input pipe: the child reads end of file. Harmless without one.
    void closeStdin() noexcept;
    /// Everything the child writes to its standard output pipe until end of file; the pipe is
    /// closed then. Empty without a pipe.
    std::string readStdout();
    /// As readStdout(), for the standard error pipe.
    std::string readStderr();

private:
    friend class Command;
    Child(pid_t pid, bool ownGroup, int stdinFd, int stdoutFd, int stderrFd) noexcept;
    void release() noexcept;
    ExitStatus reap(int status);

    pid_t _pid = -1;
    bool _ownGroup = false;
    bool _waited = false;
    ExitStatus _status;
    int _pidfd = -1;
    int _stdin = -1;
    int _stdout = -1;
    int _stderr = -1;
};

} // namespace Ostrel
