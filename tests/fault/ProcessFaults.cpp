// Fault wrappers for Process: fork.
#include "fault/Fault.h"

#include <unistd.h>

#include <cerrno>

extern "C" pid_t fork() noexcept {
    if (const int error = ostrelFaultCheck("fork")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&fork)>("fork")();
}
