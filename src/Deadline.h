// The deadlines of the timed operations, on CLOCK_MONOTONIC: no setting of the system clock moves
// them. Each timed operation computes its deadline once and gives the same deadline back to the
// platform wait after a spurious wake-up or an interruption, so it waits only the time left.
// Internal: neither installed nor exported.
#pragma once

#include <ctime>

namespace Ostrel::internal {

constexpr long nanosPerSecond = 1000000000L;

// Now on the monotonic clock plus milliseconds.
inline timespec monotonicDeadline(unsigned long milliseconds) noexcept {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000UL);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000UL) * 1000000L;
    if (deadline.tv_nsec >= nanosPerSecond) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= nanosPerSecond;
    }
    return deadline;
}

} // namespace Ostrel::internal
