#include <Ostrel/Semaphore.h>

namespace Ostrel {

Semaphore::Semaphore(int initial) noexcept : count(initial) {
    pthread_mutex_init(&mutex, nullptr);
    pthread_cond_init(&condition, nullptr);
}

Semaphore::~Semaphore() {
    pthread_mutex_destroy(&mutex);
    pthread_cond_destroy(&condition);
}

int Semaphore::up() noexcept {
    pthread_mutex_lock(&mutex);
    ++count;
    pthread_mutex_unlock(&mutex);
    // Signalled after the unlock, so the woken thread does not run into a held mutex.
    return pthread_cond_signal(&condition);
}

int Semaphore::down() noexcept {
    pthread_mutex_lock(&mutex);
    while (count < 1) {
        pthread_cond_wait(&condition, &mutex);
    }
    --count;
    return pthread_mutex_unlock(&mutex);
}

} // namespace Ostrel
