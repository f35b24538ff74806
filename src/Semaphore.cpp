#include <Ostrel/Semaphore.h>

#include "Deadline.h"

namespace Ostrel {

Semaphore::Semaphore(int initial) noexcept : count(initial) {
    pthread_mutex_init(&mutex, nullptr);
    pthread_cond_init(&condition, nullptr);
}

Semaphore::~Semaphore() {
    pthread_mutex_destroy(&mutex);
    pthread_cond_destroy(&condition);
}

bool Semaphore::awaitCount(unsigned long milliseconds) noexcept {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    // 0 is a wake-up, real or spurious: the count decides. Anything else is the time-out (or a
    // failure), and an up that came with it still counts.
    while (count < 1) {
        if (pthread_cond_clockwait(&condition, &mutex, CLOCK_MONOTONIC, &deadline) != 0) {
            return count >= 1;
        }
    }
    return true;
}

} // namespace Ostrel
