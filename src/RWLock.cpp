#include <Ostrel/RWLock.h>

#include <mutex>

namespace Ostrel {

pthread_rwlockattr_t RWLock::_attr;
std::int64_t RWLock::_useCount = 0;

namespace {
// Orders the set-up and tear-down of RWLock::_attr and the counting in _useCount between threads
// that construct or destroy RWLock objects at the same time. Constant-initialised: nothing runs
// at load. The lock operations never take it.
std::mutex bookkeeping;
} // namespace

RWLock::RWLock() noexcept {
    std::lock_guard<std::mutex> guard(bookkeeping);
    if (_useCount++ == 0) {
        pthread_rwlockattr_init(&_attr);
    }
    pthread_rwlock_init(&rwlock, &_attr);
}

RWLock::~RWLock() {
    {
        std::lock_guard<std::mutex> guard(bookkeeping);
        if (--_useCount == 0) {
            pthread_rwlockattr_destroy(&_attr);
        }
    }
    pthread_rwlock_destroy(&rwlock);
}

std::int64_t RWLock::useCount() noexcept {
    std::lock_guard<std::mutex> guard(bookkeeping);
    return _useCount;
}

} // namespace Ostrel
