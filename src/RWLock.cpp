#include <Ostrel/RWLock.h>

#include "ClassAttribute.h"

namespace Ostrel {

pthread_rwlockattr_t RWLock::_attr;
std::int64_t RWLock::_useCount = 0;

namespace {

void setUpDefault(pthread_rwlockattr_t* attribute) {
    pthread_rwlockattr_init(attribute);
}

internal::ClassAttribute<pthread_rwlockattr_t> attribute(setUpDefault, pthread_rwlockattr_destroy);

} // namespace

RWLock::RWLock() noexcept {
    attribute.acquire(_attr, _useCount);
    pthread_rwlock_init(&rwlock, &_attr);
}

RWLock::~RWLock() {
    attribute.release(_attr, _useCount);
    pthread_rwlock_destroy(&rwlock);
}

std::int64_t RWLock::useCount() noexcept {
    return attribute.count(_useCount);
}

} // namespace Ostrel
