// How the waits of the library meet the cancellation of the waiting thread (Thread::terminate).
// Internal: neither installed nor exported.
//
// A Thread body runs with the asynchronous cancellation type. A wait on a condition variable is a
// cancellation point, and the platform's wait keeps bookkeeping of its own around the sleep, which
// a cancellation at an arbitrary instruction would cut short. CancellableWait turns the calling
// thread to deferred cancellation for the length of a wait: the cancellation then acts only while
// the thread sleeps in the system, or when finish() ends the wait. A thread cancelled in
// pthread_cond_wait or pthread_cond_clockwait holds the mutex again when it unwinds;
// CancellableWait releases it on the way out, so the other threads can go on using the object.
// The operations that wait are therefore not noexcept: the cancellation unwinds through them.
//
// uncancelled runs a wait that must complete (a destructor that reaps its child or joins its
// thread) with cancellation disabled: a cancellation that came meanwhile acts after it, and the
// destructors that use it are noexcept(false) for that alone.
//
// Both let a pending cancellation act through pthread_testcancel, with the deferred type, before
// they put the caller's type back: a cancellation that acts inside pthread_setcanceltype or
// pthread_setcancelstate leaves the thread's result null with glibc 2.36, and join() would then
// not see PTHREAD_CANCELED.
#pragma once

#include <pthread.h>

namespace Ostrel::internal {

class CancellableWait {
public:
    // For a wait that holds mutex whenever the thread can be cancelled in it.
    explicit CancellableWait(pthread_mutex_t& mutex) noexcept : _mutex(&mutex) {
        (void)pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &_type);
    }
    // Runs with the mutex still to release only when the wait unwinds.
    ~CancellableWait() {
        if (_mutex != nullptr) {
            (void)pthread_mutex_unlock(_mutex);
        }
    }
    CancellableWait(const CancellableWait&) = delete;
    CancellableWait& operator=(const CancellableWait&) = delete;

    // The wait is over and the caller keeps the mutex: a cancellation requested meanwhile acts
    // here, then the caller's cancellation type comes back.
    void finish() {
        pthread_testcancel();
        (void)pthread_setcanceltype(_type, nullptr);
        _mutex = nullptr;
    }

private:
    pthread_mutex_t* _mutex;
    int _type = PTHREAD_CANCEL_DEFERRED;
};

// Runs wait() with the cancellation of the calling thread disabled; a cancellation requested
// meanwhile acts after wait() returned.
template <class Wait> void uncancelled(Wait wait) {
    int state = PTHREAD_CANCEL_ENABLE;
    int type = PTHREAD_CANCEL_DEFERRED;
    (void)pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    wait();
    (void)pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type);
    (void)pthread_setcancelstate(state, nullptr);
    pthread_testcancel();
    (void)pthread_setcanceltype(type, nullptr);
}

} // namespace Ostrel::internal
