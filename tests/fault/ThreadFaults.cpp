// Fault wrappers for Thread: pthread_create, pthread_join, pthread_cancel, sched_yield, poll.
// The pthread_* calls return their error number instead of setting errno.
#include "fault/Fault.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>

#include <cerrno>

extern "C" {

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) {
    if (const int error = ostrelFaultCheck("pthread_create")) {
        return error;
    }
    return OstrelFault::real<decltype(&pthread_create)>("pthread_create")(thread, attr, start, arg);
}

// A failed join collects nothing: the thread stays to be joined.
int pthread_join(pthread_t thread, void** result) {
    if (const int error = ostrelFaultCheck("pthread_join")) {
        return error;
    }
    static const auto realJoin = OstrelFault::real<decltype(&pthread_join)>("pthread_join");
    return realJoin(thread, result);
}

int pthread_cancel(pthread_t thread) {
    if (const int error = ostrelFaultCheck("pthread_cancel")) {
        return error;
    }
    return OstrelFault::real<decltype(&pthread_cancel)>("pthread_cancel")(thread);
}

int sched_yield() noexcept {
    if (const int error = ostrelFaultCheck("sched_yield")) {
        errno = error;
        return -1;
    }
    static const auto realYield = OstrelFault::real<decltype(&sched_yield)>("sched_yield");
    return realYield();
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    if (const int error = ostrelFaultCheck("poll")) {
        errno = error;
        return -1;
    }
    static const auto realPoll = OstrelFault::real<decltype(&poll)>("poll");
    return realPoll(fds, count, timeout);
}

} // extern "C"
