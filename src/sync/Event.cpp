#include <Ostrel/Event.h>

#include "sync/Deadline.h"

#include <sys/time.h>
#include <time.h>

namespace Ostrel {

Event::Event(bool manual, bool initiallySignalled) noexcept
    : manualReset(manual), signalled(initiallySignalled) {
    pthread_mutex_init(&mutex, nullptr);
    pthread_cond_init(&condition, nullptr);
}

Event::~Event() {
    pthread_mutex_destroy(&mutex);
    pthread_cond_destroy(&condition);
}

bool Event::wait(unsigned long milliseconds) {
    // The deadline is taken before the mutex, so waiting for the mutex counts against the limit.
    // Whole seconds of the limit go straight into the seconds, which gives the same deadline as
    // adding all of it as nanoseconds and carrying, without overflowing for large limits.
    constexpr long nanosPerSecond = 1000000000L;
    timeval now{};
    gettimeofday(&now, nullptr);
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(milliseconds / 1000UL);
    long nanos = static_cast<long>(milliseconds % 1000UL) * 1000000L + now.tv_usec * 1000L;
    deadline.tv_sec += nanos / nanosPerSecond;
    deadline.tv_nsec = nanos % nanosPerSecond;

    pthread_mutex_lock(&mutex);
    bool result = true;
    if (!signalled) {
        internal::CancellableWait wait(mutex);
        result = pthread_cond_timedwait(&condition, &mutex, &deadline) == 0;
        wait.finish();
    }
    if (!manualReset) {
        signalled = false;
    }
    pthread_mutex_unlock(&mutex);
    return result;
}

// One wait only: the first wake-up ends it, a pulse's included.
void Event::awaitWakeUp() {
    internal::CancellableWait wait(mutex);
    pthread_cond_wait(&condition, &mutex);
    wait.finish();
}

// A pulse leaves the event clear again: the wake-up it brings does not end the wait.
bool Event::awaitSet(unsigned long milliseconds) {
    return internal::conditionWait(condition, mutex, milliseconds, [this] { return signalled; });
}

} // namespace Ostrel
