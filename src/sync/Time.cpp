#include <Ostrel/Time.h>

#include <sys/time.h>
#include <time.h>

namespace Ostrel {

double getSystemTime() noexcept {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1000000.0;
}

double getMonotonicTime() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1000000000.0;
}

} // namespace Ostrel
