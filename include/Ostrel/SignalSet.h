/// \file
/// \brief The public header of Ostrel::SignalSet.

/// \class Ostrel::SignalSet
/// \brief Catchable signals of the program's choice (SIGHUP, SIGUSR1, SIGCHLD, real-time
/// signals ...) as records taken outside the signal handler, with a descriptor for a poll loop.
///
/// The constructor installs one handler (SA_SIGINFO | SA_RESTART, the signal mask unchanged) for
/// each signal of the set, saving the action it replaces. The handler only writes one record
/// (signal, sender's process id and user id) to a non-blocking, close-on-exec pipe and keeps
/// errno. take() takes one record without waiting, waitFor() and wait() sleep in poll on the pipe
/// and go on after an interruption by a signal; fd() is readable while a record waits. Each
/// record is taken once: two threads taking at once never get the same one.
///
/// - Sender: senderId and senderUser are the sending process's for a signal sent by a process
///   (kill, sigqueue, raise, tgkill, a message queue), the child's for SIGCHLD, and the writing
///   process's own for SIGPIPE. For a signal that the kernel raised without a sender (a terminal
///   hang-up, a timer, SIGIO) and for a merged record, senderId is 0 and senderUser is uid_t(-1).
/// - None is lost without a trace: when the pipe is full (a program that does not take records,
///   about 5000 of them), later signals of the same number are merged into one record with
///   senderId 0, delivered once a take makes room.
/// - The system merges a signal that arrives while the same one is still pending; real-time
///   signals are queued one by one.
/// - A signal blocked in every thread's mask stays pending and comes as a record only when a
///   thread unblocks it; the set does not change any mask. Signals interrupted system calls restart
///   (SA_RESTART), except those that never restart (poll, sleeps, see signal(7)).
/// - The destructor puts back each signal's earlier action, unless something else replaced the
///   set's handler meanwhile (that one stays), and waits for handlers still running on other
///   threads before it closes the pipe. Records not taken are dropped; a signal that arrives after
///   the destructor meets the earlier action.
/// - After fork(), the child has the earlier actions back: its signals never reach the parent's
///   records; a child that wants records makes a set of its own. exec resets caught signals
///   anyway, and the pipe does not reach the new program.
/// - A set with the same signal twice holds it once; an empty set receives nothing.
///
/// Refused with SignalSet::Exception "Cannot receive signal - " + the system's text (error()
/// gives the number), and nothing is changed:
///   EINVAL   a number that is no signal (0, -1, 65), one the C library keeps for itself (32 and 33
///            with glibc), SIGKILL, SIGSTOP, SIGSEGV, SIGBUS, SIGFPE, SIGILL
///   EBUSY    a signal that another live SignalSet holds; SIGINT or SIGTERM while the Signal
///            dispatcher (Signal::_the) has a handler registered
/// The same text with the system's error when the pipe cannot be made (EMFILE).
///
/// DANGER - Signal::_the.addSignalHandler() while a set holds SIGINT or SIGTERM replaces the set's
/// handler for them (the dispatcher cannot refuse it): register one or the other.
///
/// Thread-safe: take(), waitFor(), wait() and fd() may be called from any thread at once, and sets
/// may be made and destroyed on different threads at once. Changing the same signals' actions by
/// other means (sigaction, Signal) at the same time is not safe.
#pragma once

#include <Ostrel/Export.h>

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Ostrel {

class OSTREL_API SignalSet {
public:
    /// The component exception of SignalSet, thrown by value; it has no base class.
    class OSTREL_API Exception {
    public:
        /// The message is text + " - " + the system's text of error.
        Exception(const char* text, int error);
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;
        /// The error number: EINVAL, EBUSY, or the pipe's.
        int error() const noexcept { return _error; }

    private:
        std::string _message;
        int _error;
    };

    /// One signal received.
    struct Received {
        /// The signal number.
        int signal;
        /// The sending process's id; 0 when the kernel raised it or for a merged record.
        pid_t senderId;
        /// The sending process's real user id; uid_t(-1) when senderId is 0.
        uid_t senderUser;
    };

    /// Installs the handler for each of signals (e.g. {SIGHUP, SIGUSR1}); throws and changes
    /// nothing when one of them is refused (see the class notes).
    explicit SignalSet(std::vector<int> signals);
    /// Puts back each signal's earlier action (see the class notes), then closes the pipe.
    ~SignalSet();
    /// Not copyable.
    /// @{
    SignalSet(const SignalSet&) = delete;
    SignalSet& operator=(const SignalSet&) = delete;
    /// @}

    /// The oldest record, taken without waiting; empty when none waits.
    std::optional<Received> take();
    /// Waits at most milliseconds (0: only looks) on the monotonic clock for a record and takes
    /// it; empty when none came.
    std::optional<Received> waitFor(unsigned long milliseconds);
    /// Waits until a record is there and takes it.
    Received wait();
    /// A descriptor that is readable while a record waits.
    int fd() const noexcept { return _readFd; }

private:
    void deliverMerged() noexcept;

    std::vector<int> _signals;
    int _readFd = -1;
    int _writeFd = -1;
};

} // namespace Ostrel
