/// \file
/// \brief The public header of Ostrel::Semaphore.

/// \class Ostrel::Semaphore
/// \brief A counting semaphore for the threads of one process, built from a mutex,
/// a condition variable and a signed count.
///
/// The count may start at any value, zero or negative included: down waits while it is below 1,
/// so a start of -2 needs three up calls before one down completes. up wakes at most one waiter
/// and signals after releasing the mutex. tryDown takes 1 only if it can at once; downFor waits
/// for it at most a number of milliseconds, measured on the monotonic clock (pthread_cond_clockwait
/// with CLOCK_MONOTONIC, whatever clock the condition variable was made with), so a change of the
/// system clock neither shortens nor lengthens the wait. up, down, tryDown and a downFor that
/// finds the count positive are inline: they cost what the same platform calls written by hand
/// cost. Nothing is thrown or printed; nothing allocates.
///
/// Cancellation: down and downFor are cancellation points. A thread cancelled while it waits in
/// them (Thread::terminate) ends there, as its cancellation says, with the count untouched and
/// the mutex released: the other threads go on using the semaphore. The wait itself runs with
/// deferred cancellation, so an asynchronous cancellation (the type of a Thread body) acts only
/// while the thread sleeps or as the wait ends.
///
/// Threads: every operation but construction and destruction may come from any thread; those two
/// must not overlap with any other call on the same object. A Semaphore is destroyed only when
/// nobody waits on it AND NO up() MAY STILL BE RUNNING: up signals the condition variable after
/// it released the mutex, so a waiter that returns from down() can run before up() has returned.
/// In the common "wait for completion" pattern (a thread waits on a semaphore on its stack, a
/// worker calls up() and the waiter returns and destroys it) the worker may still be inside up()
/// when the semaphore is gone. Destroy it only after the thread that called up() is joined, or
/// has shown by other means that it returned from up().
#pragma once

#include <Ostrel/Export.h>

#include <cstdint>
#include <pthread.h>

namespace Ostrel {

class OSTREL_API Semaphore {
public:
    /// A semaphore whose count starts at initial (any value, zero and negative included).
    explicit Semaphore(int initial) noexcept;
    /// Destroys the mutex and condition variable; nobody may wait any more.
    ~Semaphore();
    /// Not copyable.
    /// @{
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;
    /// @}

    /// Adds 1 to the count and wakes at most one waiter. Returns the signal call's status.
    int up() noexcept {
        pthread_mutex_lock(&mutex);
        ++count;
        pthread_mutex_unlock(&mutex);
        // Signalled after the unlock, so the woken thread does not run into a held mutex.
        return pthread_cond_signal(&condition);
    }
    /// Waits until the count is at least 1, then takes 1 from it. Returns the unlock's status.
    /// A cancellation point (see the class note).
    int down() {
        pthread_mutex_lock(&mutex);
        if (count < 1) {
            awaitCount();
        }
        --count;
        return pthread_mutex_unlock(&mutex);
    }
    /// Takes 1 from the count if it is at least 1, without waiting: true when it took one.
    bool tryDown() noexcept { return downFor(0); }
    /// Takes 1 from the count as soon as it is at least 1, waiting at most milliseconds on the
    /// monotonic clock; 0 tries once, like tryDown, and ULONG_MAX waits without limit. A wake-up
    /// that finds the count below 1 goes back to waiting for the time left. True when it took
    /// one; false, with the count untouched, when the time is up. A cancellation point (see the
    /// class note).
    bool downFor(unsigned long milliseconds) {
        pthread_mutex_lock(&mutex);
        const bool taken = count >= 1 || (milliseconds != 0 && awaitCount(milliseconds));
        if (taken) {
            --count;
        }
        pthread_mutex_unlock(&mutex);
        return taken;
    }

private:
    /// The waits of down and downFor, with the mutex held: until the count is at least 1, or
    /// (false) until the time is up first.
    void awaitCount();
    bool awaitCount(unsigned long milliseconds);

    pthread_mutex_t mutex;
    pthread_cond_t condition;
    std::int32_t count;
};

} // namespace Ostrel
