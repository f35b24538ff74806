/// \file
/// \brief The public header of Ostrel::TerminateRequest.

/// \class Ostrel::TerminateRequest
/// \brief A Signal handler that turns SIGINT and SIGTERM into requests a program waits for
/// outside the signal handler.
///
/// Register it with Signal::_the.addSignalHandler(Signal::Terminate, request); then wait(),
/// waitFor(milliseconds), count(), or poll fd() in the program's own loop. signalReceived() does
/// only what is safe in a signal handler: it adds one to an atomic count and writes one byte to
/// a non-blocking, close-on-exec pipe.
///
/// Each request (a signal, or several that the system merged into one) is taken once: wait()
/// and a waitFor() that returns true take one, so two threads waiting on one request do not both
/// return. count() is the number of requests since construction, taken or not. fd() is readable
/// while a request is not yet taken; a program that polls it calls waitFor(0) to take it.
/// Waiting sleeps in the kernel (poll on the pipe), not in a polling loop, and goes on after an
/// interruption by a signal.
///
/// The constructor throws TerminateRequest::Exception "Cannot create termination request - " +
/// the system's text when it cannot create its pipe. The destructor removes the object from
/// Signal::_the when it is still registered there, then closes the pipe.
///
/// DANGER - removing the handler while a signal is handled. Signal's catching function installs
/// itself again after each dispatch. A removeSignalHandler() (or the destructor) that runs while
/// another thread is inside the handler for SIGINT or SIGTERM can therefore leave the catching
/// function installed with no handler registered: a later SIGINT or SIGTERM is then swallowed
/// instead of ending the program. Keep the request registered for the life of the program, or
/// remove it only when no such signal can arrive (for instance with both signals blocked).
///
/// Thread-safe: wait(), waitFor(), count() and fd() may be called from any thread at once.
#pragma once

#include <Ostrel/Export.h>
#include <Ostrel/Signal.h>

#include <atomic>
#include <string>

namespace Ostrel {

class OSTREL_API TerminateRequest : public Signal::SignalHandler {
public:
    /// The component exception of TerminateRequest, thrown by value; it has no base class.
    class OSTREL_API Exception {
    public:
        /// The message is text + " - " + the system's text of error.
        Exception(const char* text, int error);
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;

    private:
        std::string _message;
    };

    /// Creates the pipe; registers nothing. Throws the text of the class notes.
    TerminateRequest();
    /// Removes the object from Signal::_the if it is registered there, then closes the pipe.
    ~TerminateRequest() override;
    /// Not copyable.
    /// @{
    TerminateRequest(const TerminateRequest&) = delete;
    TerminateRequest& operator=(const TerminateRequest&) = delete;
    /// @}

    /// Records one request: async-signal-safe, called inside the signal handler.
    void signalReceived(Signal::SignalType type) override;
    /// Waits until a request is there and takes it.
    void wait();
    /// Waits at most milliseconds (0: only looks) on the monotonic clock for a request and takes
    /// it; false when none came.
    bool waitFor(unsigned long milliseconds);
    /// The number of requests since construction.
    unsigned long count() const noexcept { return _count.load(); }
    /// A descriptor that is readable while a request is not yet taken.
    int fd() const noexcept { return _readFd; }

private:
    std::atomic<unsigned long> _count{0};
    int _readFd = -1;
    int _writeFd = -1;
};

} // namespace Ostrel
