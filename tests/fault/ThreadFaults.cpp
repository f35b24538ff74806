// Fault wrappers for Thread: pthread_create, sched_yield.
#include "fault/Fault.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    if (const int error = ostrelFaultCheck("pthread_create")) {
        return error;
    }
    return OstrelFault::real<decltype(&pthread_create)>("pthread_create")(thread, attr, start, arg);
}

extern "C" int sched_yield() noexcept {
    if (const int error = ostrelFaultCheck("sched_yield")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&sched_yield)>("sched_yield")();
}
