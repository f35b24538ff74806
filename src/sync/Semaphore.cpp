#include <Ostrel/Semaphore.h>

#include "sync/Deadline.h"

namespace Ostrel {

Semaphore::Semaphore(int initial) noexcept : count(initial) {
    pthread_mutex_init(&mutex, nullptr);
    pthread_cond_init(&condition, nullptr);
}

Semaphore::~Semaphore() {
    pthread_mutex_destroy(&mutex);
    pthread_cond_destroy(&condition);
}

void Semaphore::awaitCount() {
    internal::CancellableWait wait(mutex);
    while (count < 1) {
        pthread_cond_wait(&condition, &mutex);
    }
    wait.finish();
}

bool Semaphore::awaitCount(unsigned long milliseconds) {
    return internal::conditionWait(condition, mutex, milliseconds, [this] { return count >= 1; });
}

} // namespace Ostrel
