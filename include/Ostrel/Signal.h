/// \file
/// \brief The public header of Ostrel::Signal.

/// \class Ostrel::Signal
/// \brief Turns the interrupt (SIGINT) and termination (SIGTERM) signals into calls of a
/// handler object of the program's own.
///
/// There is one dispatcher per process, the static object Signal::_the, used directly. A program
/// derives from Signal::SignalHandler and registers one object with
/// Signal::_the.addSignalHandler(Signal::Terminate, object); from then on both signals call
/// object.signalReceived(Signal::Terminate) and the process goes on (unless the handler ends it).
/// removeSignalHandler(Signal::Terminate) puts back exactly the dispositions the two signals had
/// before the registration (the default action, ignoring, or a function of the program's own);
/// so does the destruction of _the when the library is unloaded with a handler still registered.
/// The handler object stays owned by the caller and must outlive its registration.
///
/// Only one handler is registered at a time. A registration while one is registered (or while
/// dispositions are still saved) is refused: it changes nothing - the registered handler and the
/// saved dispositions stay - and prints the line
///   "Signal: addSignalHandler refused: a handler is already registered"
/// on standard error. Remove the registered handler first. Nothing here throws; a failure to
/// install the catching function leaves that signal's disposition unsaved and unrestored.
///
/// DANGER - what a handler object may do. signalReceived() runs inside the system's signal
/// handler, on whichever thread receives the signal, interrupting it at an arbitrary point
/// (possibly inside malloc, inside stdio, or holding a lock). It may only do what is
/// async-signal-safe: set a volatile std::sig_atomic_t or lock-free atomic flag, post a POSIX
/// semaphore (sem_post), write() to a pipe, kill(), _exit(). It must not allocate, use stdio or
/// iostreams, take a mutex, or throw.
///
/// DANGER - removing the handler while a signal is handled. The catching function installs itself
/// again after each dispatch. A removeSignalHandler() that runs while another thread is handling
/// SIGINT or SIGTERM can therefore leave the catching function installed with no handler
/// registered; a later SIGINT or SIGTERM is then swallowed instead of ending the program. Keep a
/// handler registered for the life of the program, or remove it only when no such signal can
/// arrive (for instance with both signals blocked in every thread).
///
/// Not thread-safe: registration and removal are made from one thread at a time. The handler
/// pointer is read by the signal handler without synchronisation.
#pragma once

#include <Ostrel/Export.h>

#include <csignal>

namespace Ostrel {

class OSTREL_API Signal {
public:
    /// The events a handler can be registered for.
    enum SignalType {
        Terminate = 0 ///< SIGINT (Ctrl-C) and SIGTERM.
    };

    /// The interface of the program's handler object: derive from it and register the object.
    class SignalHandler {
    public:
        /// Does nothing; the object is owned by the program.
        virtual ~SignalHandler() = default;
        /// Called inside the system's signal handler: see the DANGER note of the class.
        virtual void signalReceived(SignalType type) = 0;
    };

    /// Installs nothing.
    Signal() noexcept;
    /// Puts back the dispositions still saved.
    ~Signal();
    /// Not copyable.
    /// @{
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    /// @}

    /// Registers h for SIGINT and SIGTERM, saving their dispositions; refused with a line on
    /// standard error while a handler is registered (see the class notes). A type other than
    /// Terminate is ignored, in all three operations.
    void addSignalHandler(SignalType type, SignalHandler& h);
    /// Forgets the handler and puts back the saved dispositions. Harmless when no handler is
    /// registered.
    void removeSignalHandler(SignalType type);
    /// Calls the registered handler and returns true; false when none is registered. A program
    /// may call it to deliver the event without a signal.
    bool handleSignal(SignalType type);

    /// The registered handler, not owned; null when none is.
    SignalHandler* handler;
    /// The disposition of SIGINT in force at registration; SIG_ERR when none is saved.
    sighandler_t oldIntHandler;
    /// The disposition of SIGTERM in force at registration; SIG_ERR when none is saved.
    sighandler_t oldTermHandler;

    /// The one dispatcher of the process, used directly (there is no accessor).
    static Signal _the;
};

} // namespace Ostrel
