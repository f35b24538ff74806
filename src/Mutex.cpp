#include <Ostrel/Mutex.h>

#include "ClassAttribute.h"

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

std::int64_t Mutex::useCount() noexcept {
    return attribute.count(_useCount);
}

} // namespace Ostrel
