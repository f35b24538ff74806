// Fault wrappers for Process: fork, execv, kill, waitpid.
#include "fault/Fault.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern "C" {

pid_t fork() noexcept {
    if (const int error = ostrelFaultCheck("fork")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&fork)>("fork")();
}

// Counted in the process that calls it: a rule set before a fork applies in the child too.
int execv(const char* path, char* const argv[]) noexcept {
    if (const int error = ostrelFaultCheck("execv")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&execv)>("execv")(path, argv);
}

int kill(pid_t pid, int signal) noexcept {
    if (const int error = ostrelFaultCheck("kill")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&kill)>("kill")(pid, signal);
}

// A failed wait collects nothing: the child stays to be waited for.
pid_t waitpid(pid_t pid, int* status, int options) {
    if (const int error = ostrelFaultCheck("waitpid")) {
        errno = error;
        return -1;
    }
    static const auto realWaitpid = OstrelFault::real<decltype(&waitpid)>("waitpid");
    return realWaitpid(pid, status, options);
}

} // extern "C"
