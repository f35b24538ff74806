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
/// that end; reading one while the child fills the other pipe can deadlock: communicate() is the
/// way to read both.
///
/// communicate() does the everyday job - give the child its input, collect both outputs and how
/// it ended - in one poll loop in the calling thread (no thread is started), free of the three
/// classic pitfalls:
/// - a child that fills one pipe while the caller waits on the other cannot deadlock the talk:
///   input is written without blocking (the input pipe is non-blocking for the talk) and both
///   outputs are read as they come;
/// - writing to a child that has exited or closed its input does not kill the caller with
///   SIGPIPE: SIGPIPE is blocked in the calling thread while input is written and the one a
///   failed write raised is taken, so the caller's dispositions, mask and pending signals are as
///   before; the writing ends there and Output::inputWritten says how much the child took;
/// - communicateFor()'s limit ends the talk even while a descendant (`sh -c 'daemon &'`) keeps
///   a pipe open: it does not wait for that end of file. A descendant still running at the limit
///   is left running (Command::newProcessGroup(true) and killGroup() reach it).
/// The input pipe is closed once all is written (at once for empty input); pipes already closed
/// (closeStdin(), readStdout()) are left out, and a Child without pipes is just waited for.
/// Input for a Child without an input pipe throws "Child has no input pipe" (error 0) before
/// anything is done. A Child already waited for keeps its status, so a second call returns it
/// with empty texts. The output is kept in memory without a limit: a child that writes more than
/// memory holds makes the call throw std::bad_alloc; stream such output from stdoutFd() instead.
/// When a call throws, the child is not waited for yet (the destructor or wait() does it).
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
///   communicate(For)     the texts above, and "Cannot write to child - " + error text,
///                        "Child has no input pipe" (error 0)
/// A wait or read interrupted by a signal goes on (waitFor with the time that is left).
///
/// Not thread-safe: an object has no lock; one thread at a time uses it.
#pragma once

#include <Ostrel/ExitStatus.h>
#include <Ostrel/Export.h>

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

    /// What communicate() and communicateFor() collected.
    struct Output {
        /// All read from the standard output pipe (empty without one).
        std::string out;
        /// All read from the standard error pipe (empty without one).
        std::string err;
        /// Bytes of input the child took: all of it once written whole; when the child closed
        /// its input early or the limit ended the talk, those it read from the pipe.
        std::size_t inputWritten = 0;
        /// How the child ended: it is always waited for.
        ExitStatus status;
        /// True when the limit of communicateFor() ended the talk.
        bool timedOut = false;
    };
    /// Writes input to the child's standard input pipe and reads its output and error pipes to
    /// end of file, all at once in the calling thread, then waits for the child: see the class
    /// notes. An end of file that a descendant holds back keeps it waiting; communicateFor()
    /// bounds that.
    Output communicate(std::string_view input = {});
    /// As communicate(), within milliseconds on the monotonic clock (0: serves what is ready
    /// once; ULONG_MAX: no limit). At the limit it sends SIGKILL to a child that still runs (and
    /// to its process group when it has one of its own), waits for it, keeps what the output
    /// pipes hold without waiting for their end of file, closes every pipe end and returns with
    /// timedOut true: a few milliseconds past the limit, whatever descendants do. A child that
    /// ends in time ends the talk as in communicate() (where the system gives no process
    /// descriptor, its end is seen within 50 ms).
    Output communicateFor(unsigned long milliseconds, std::string_view input = {});

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
