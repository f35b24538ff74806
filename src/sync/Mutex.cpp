#include <Ostrel/Mutex.h>

#include "sync/ClassAttribute.h"
#include "sync/Deadline.h"

namespace Ostrel {

pthread_mutexattr_t Mutex::_attr;
std::int64_t Mutex::_useCount = 0;

namespace {

void setUpRecursive(pthread_mutexattr_t* attribute) {
    pthread_mutexattr_init(attribute);
    pthread_mutexattr_settype(attribute, PTHREAD_MUTEX_RECURSIVE);
}

internal::ClassAttribute<pthread_mutexattr_t> attribute(setUpRecursive, pthread_mutexattr_destroy);

} // namespace

Mutex::Mutex() noexcept {
    attribute.acquire(_attr, _useCount);
    pthread_mutex_init(&mutex, &_attr);
}

Mutex::~Mutex() {
    attribute.release(_attr, _useCount);
    pthread_mutex_destroy(&mutex);
}

// pthread_mutex_clocklock is not interrupted by signals: it returns 0, a timeout or an error.
bool Mutex::lockWithin(unsigned long milliseconds) noexcept {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    return internal::clockLock(&mutex, false, [&] {
               return pthread_mutex_clocklock(&mutex, CLOCK_MONOTONIC, &deadline);
           }) == 0;
}

std::int64_t Mutex::useCount() noexcept {
    return attribute.count(_useCount);
}

} // namespace Ostrel
