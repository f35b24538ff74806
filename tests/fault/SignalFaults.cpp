// Fault wrapper for Signal: signal.
#include "Fault.h"

#include <cerrno>
#include <csignal>

extern "C" sighandler_t signal(int number, sighandler_t handler) noexcept {
    if (const int error = ostrelFaultCheck("signal")) {
        errno = error;
        return SIG_ERR;
    }
    return OstrelFault::real<decltype(&signal)>("signal")(number, handler);
}
