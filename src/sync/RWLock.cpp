#include <Ostrel/RWLock.h>

#include "sync/ClassAttribute.h"
#include "sync/Deadline.h"

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

// The clock variants of rdlock and wrlock are not interrupted by signals: they return 0, a
// timeout or an error.
bool RWLock::readLockWithin(unsigned long milliseconds) noexcept {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    return internal::clockLock(&rwlock, true, [&] {
               return pthread_rwlock_clockrdlock(&rwlock, CLOCK_MONOTONIC, &deadline);
           }) == 0;
}

bool RWLock::writeLockWithin(unsigned long milliseconds) noexcept {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    return internal::clockLock(&rwlock, false, [&] {
               return pthread_rwlock_clockwrlock(&rwlock, CLOCK_MONOTONIC, &deadline);
           }) == 0;
}

std::int64_t RWLock::useCount() noexcept {
    return attribute.count(_useCount);
}

} // namespace Ostrel
