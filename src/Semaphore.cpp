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

} // namespace Ostrel
