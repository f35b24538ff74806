#include <Ostrel/Mutex.h>

#include <mutex>

namespace Ostrel {

pthread_mutexattr_t Mutex::_attr;
std::int64_t Mutex::_useCount = 0;

namespace {
// Orders the set-up and tear-down of Mutex::_attr and the counting in _useCount between threads
// that construct or destroy Mutex objects at the same time. Constant-initialised: nothing runs
// at load. The lock operations never take it.
std::mutex bookkeeping;
} // namespace

Mutex::Mutex() noexcept {
    std::lock_guard<std::mutex> guard(bookkeeping);
    if (_useCount++ == 0) {
        pthread_mutexattr_init(&_attr);
        pthread_mutexattr_settype(&_attr, PTHREAD_MUTEX_RECURSIVE);
    }
    pthread_mutex_init(&mutex, &_attr);
}

Mutex::~Mutex() {
    {
        std::lock_guard<std::mutex> guard(bookkeeping);
        if (--_useCount == 0) {
            pthread_mutexattr_destroy(&_attr);
        }
    }
    pthread_mutex_destroy(&mutex);
}

std::int64_t Mutex::useCount() noexcept {
    std::lock_guard<std::mutex> guard(bookkeeping);
    return _useCount;
}

} // namespace Ostrel
