/// \file
/// \brief The public header of Ostrel::Event.

/// \class Ostrel::Event
/// \brief An event object for the threads of one process, set and clear, in one of two
/// modes fixed at construction.
///
/// Manual reset: a set event stays set and releases every waiter (wake-ups are broadcast) until
/// reset; waits and test leave the state alone. Automatic reset: a wake-up goes to one waiter, and
/// every return from test, wait() and wait(milliseconds) leaves the event clear. pulse wakes
/// waiters (all or one, by mode) and leaves the event clear.
///
/// A wait that does not find the event set waits exactly once: the first wake-up ends it, whether
/// it came from set, from pulse, or spuriously from the platform, and the state is not tested
/// again. wait(milliseconds) measures its limit on the wall clock (gettimeofday and a condition
/// variable on the realtime clock): the deadline is fixed before the event's mutex is taken, and a
/// change of the system clock moves it.
///
/// waitFor(milliseconds) is the timed wait to use: it measures its limit on the monotonic clock
/// (pthread_cond_clockwait with CLOCK_MONOTONIC), so a change of the system clock neither shortens
/// nor lengthens it, and it ends only when it finds the event set or the time is up: a wake-up
/// that finds the event clear (after a pulse, or spurious) goes back to waiting for the time left.
///
/// Cancellation: the three waits are cancellation points. A thread cancelled while it waits in
/// them (Thread::terminate) ends there, as its cancellation says, with the state untouched and the
/// mutex released: the other threads go on using the event. The wait itself runs with deferred
/// cancellation, so an asynchronous cancellation (the type of a Thread body) acts only while the
/// thread sleeps or as the wait ends.
///
/// Nothing is thrown or printed; nothing allocates. Every operation but construction and
/// destruction may come from any thread; an Event is destroyed only when nobody waits on it. All
/// operations but the waits that do not find the event set are inline: they cost what the same
/// platform calls written by hand cost.
#pragma once

#include <Ostrel/Export.h>

#include <pthread.h>

namespace Ostrel {

class OSTREL_API Event {
public:
    /// An event in manual-reset mode (manualReset true) or automatic-reset mode, initially set
    /// when signalled is true.
    Event(bool manualReset, bool signalled) noexcept;
    /// Destroys the mutex and condition variable; nobody may wait on the event any more.
    ~Event();
    /// Not copyable.
    /// @{
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    /// @}

    /// Sets the event and wakes waiters. Returns the unlock's status.
    int set() noexcept {
        pthread_mutex_lock(&mutex);
        signalled = true;
        if (manualReset) {
            pthread_cond_broadcast(&condition);
        } else {
            pthread_cond_signal(&condition);
        }
        return pthread_mutex_unlock(&mutex);
    }
    /// Clears the event; wakes nobody. Returns the unlock's status.
    int reset() noexcept {
        pthread_mutex_lock(&mutex);
        signalled = false;
        return pthread_mutex_unlock(&mutex);
    }
    /// Wakes waiters and leaves the event clear. Returns the unlock's status.
    int pulse() noexcept {
        pthread_mutex_lock(&mutex);
        if (manualReset) {
            pthread_cond_broadcast(&condition);
        } else {
            pthread_cond_signal(&condition);
        }
        signalled = false;
        return pthread_mutex_unlock(&mutex);
    }
    /// The state on entry; in automatic-reset mode the event is clear afterwards.
    bool test() noexcept {
        pthread_mutex_lock(&mutex);
        const bool result = signalled;
        if (!manualReset) {
            signalled = false;
        }
        pthread_mutex_unlock(&mutex);
        return result;
    }
    /// Returns at once if the event is set, otherwise after the next wake-up.
    /// Returns the unlock's status. A cancellation point (see the class note).
    int wait() {
        pthread_mutex_lock(&mutex);
        if (!signalled) {
            awaitWakeUp();
        }
        if (!manualReset) {
            signalled = false;
        }
        return pthread_mutex_unlock(&mutex);
    }
    /// True if the event was set on entry or a wake-up came before the limit; false when the limit
    /// passed or the timed wait failed otherwise. A cancellation point (see the class note).
    ///
    /// The limit is measured on the WALL CLOCK: the deadline is gettimeofday() + milliseconds,
    /// fixed before the mutex is taken, and the wait runs on the realtime clock. Setting the
    /// system clock forward or back during the wait shortens or lengthens it accordingly. Like
    /// wait(), it waits once: an early or spurious wake-up returns true.
    bool wait(unsigned long milliseconds);
    /// Waits until the event is set, at most milliseconds on the monotonic clock; 0 only looks,
    /// like test, and ULONG_MAX waits without limit. True when it finds the event set, and in
    /// automatic-reset mode it takes it (the event is clear afterwards); false when the time is
    /// up. A pulse, or a wake-up that finds the event clear, does not end the wait. A
    /// cancellation point (see the class note).
    bool waitFor(unsigned long milliseconds) {
        pthread_mutex_lock(&mutex);
        const bool found = signalled || (milliseconds != 0 && awaitSet(milliseconds));
        if (!manualReset) {
            signalled = false;
        }
        pthread_mutex_unlock(&mutex);
        return found;
    }

private:
    /// The wait of wait(), with the mutex held: once, until the next wake-up.
    void awaitWakeUp();
    /// The wait of waitFor, with the mutex held: true once the event is set, false when the time
    /// is up first.
    bool awaitSet(unsigned long milliseconds);

    pthread_mutex_t mutex;
    pthread_cond_t condition;
    bool manualReset;
    bool signalled;
};

} // namespace Ostrel
