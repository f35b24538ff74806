/// \file
/// \brief The public header of Ostrel::Thread.

/// \class Ostrel::Thread
/// \brief An object that runs its own body, main(), in a separate POSIX thread.
///
/// A subclass supplies main(); start() runs it in a new thread, join() waits for it and returns
/// its exit code, terminate() cancels it. The static operations serve any code: self(), exit(),
/// yield() and sleep(). Failures are thrown as Thread::Exception (by value); nothing is printed.
///
/// Exit codes: join() returns the result of main(), or the code given to exit(). For a cancelled
/// thread it returns exitCode, the code that terminate() stored. The system's cancelled result
/// is the pointer value -1, so a body that ends with exit(-1) reads as cancelled as well and
/// join() then returns exitCode, not -1.
///
/// DANGER - asynchronous cancellation. The body runs with the asynchronous cancellation type, set
/// as the first action of the new thread: terminate() can end it at any machine instruction. A
/// body that can be cancelled must not, at a moment when it can be, hold a lock (a mutex held at
/// the cancellation stays locked for ever), be inside malloc/new or free/delete (the heap's own
/// locks), or be in any library call that is not async-cancel-safe (stdio and iostreams
/// included). The destructors of the body's locals run when the cancellation finds the thread in
/// a call (the waits of the library, the system calls) and may be skipped at other instructions.
/// A body that needs such stretches switches them off itself with pthread_setcancelstate /
/// pthread_setcanceltype. The waits of Semaphore, Event and SharedSemaphore are cancellation
/// points: a body cancelled while it waits there ends, and join() returns its code.
///
/// Threads: an object has no lock of its own. start(), join(), terminate() and the destructor are
/// called from one controlling thread at a time. The class-wide creation attributes (_attr:
/// joinable, default stack, system contention scope) are set up once, by the first construction
/// in the process; that set-up is guarded, so two threads may construct the first objects at the
/// same time.
///
/// Waiting with a limit: joinFor(milliseconds) waits for the thread at most that long, measured on
/// the monotonic clock (pthread_clockjoin_np with CLOCK_MONOTONIC), so a change of the system clock
/// neither shortens nor lengthens it; 0 only looks. A thread still running at the limit stays to be
/// joined. setName names the calling thread for ps, top and debuggers.
///
/// Lifetime: the destructor joins a thread that is still marked running (it never cancels it).
/// Since it runs after the subclass's members are gone, a subclass whose body uses its own
/// members ends and joins its thread in its own destructor. A thread cancelled while its
/// destructor joins another (a body that owns a Thread) completes the join first, then ends: the
/// join holds the cancellation off, and the destructor lets it pass (noexcept(false)).
#pragma once

#include <Ostrel/Export.h>

#include <pthread.h>

#include <optional>
#include <string>

namespace Ostrel {

class OSTREL_API Thread {
public:
    /// The component exception: the message is text, or text + " - " + detail.
    class OSTREL_API Exception {
    public:
        /// A null detail means none.
        Exception(const char* text, const char* detail);
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;

    private:
        std::string _message;
    };

    /// A thread object that does not run yet; the first one sets up the creation attributes.
    Thread();
    /// Joins a thread still marked running (never cancels it); see the class's lifetime note.
    /// Throws nothing of its own.
    virtual ~Thread() noexcept(false);
    /// Not copyable.
    /// @{
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    /// @}

    /// The body; its result becomes the thread's exit code.
    virtual int main() = 0;

    /// Throws "Thread is already running", or "Cannot start thread" (running stays false).
    void start();
    /// Waits for the thread and clears running, also when the wait fails. Throws "Thread doesn't
    /// run", or "Cannot join thread".
    int join();
    /// Waits for the thread at most milliseconds on the monotonic clock (0: only looks). Empty
    /// while the thread still runs at the limit: it stays running, to be joined later. Otherwise
    /// what join() returns or throws: the exit code, and running cleared. Throws "Thread doesn't
    /// run", or "Cannot join thread". Allocates only the exception it throws.
    std::optional<int> joinFor(unsigned long milliseconds);
    /// Cancels the thread ASYNCHRONOUSLY: it may stop at any machine instruction, with no
    /// destructor of its locals run and any lock it held left locked (see the DANGER note).
    /// Stores code in exitCode first, then requests cancellation; does not wait and leaves
    /// running set (join() or the destructor still collects the thread). Throws "Thread doesn't
    /// run" (after storing code), or "Cannot terminate thread".
    void terminate(int code);

    /// The entry function of every thread: object is the Thread to run.
    static void* classMain(void* object);
    /// Ends the calling thread with code as its result; exitCode is not written.
    [[noreturn]] static void exit(int code);
    /// The calling thread's id (pthread_self).
    static pthread_t self() noexcept;
    /// Throws "Cannot yield " with the system's error text as detail.
    static void yield();
    /// Waits milliseconds, any number up to ULONG_MAX (some 585 million years), by polls of at
    /// most 2147483647 ms; a signal that interrupts a poll restarts it with its full time.
    /// Throws "Cannot sleep" with the system's error text as detail.
    static void sleep(unsigned long milliseconds);
    /// Names the calling thread for ps, top and debuggers with the first 15 bytes of name (the
    /// system's limit), which the system cannot refuse for the calling thread. Does not allocate.
    static void setName(const std::string& name) noexcept;

    /// The thread last started; 0 after construction.
    pthread_t threadId;
    /// True from a successful start() until the next join().
    bool running;
    /// The result of main() when the body returned, or the code of the last terminate().
    /// Not set by the constructor.
    int exitCode;

    /// The creation attributes of every thread: joinable, default stack, system scope.
    static pthread_attr_t _attr;
    /// True once _attr is set up.
    static bool _classInit;
};

} // namespace Ostrel
