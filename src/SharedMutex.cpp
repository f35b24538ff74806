#include <Ostrel/SharedMutex.h>

#include <iostream>
#include <mutex>

namespace Ostrel {

namespace {

// Serialises the count and the attribute object between threads constructing or destroying
// objects at once. Constant-initialised: nothing is built at load.
std::mutex classLock;

// The size of the segment: exactly one platform mutex on the target.
constexpr unsigned long segmentSize = 40;
static_assert(sizeof(pthread_mutex_t) == segmentSize, "the segment holds one pthread_mutex_t");

} // namespace

pthread_mutexattr_t SharedMutex::_attr;
std::int64_t SharedMutex::_useCount = 0;

SharedMutex::SharedMutex(const char* name) {
    memory.allocate(name, segmentSize);
    mutex = static_cast<pthread_mutex_t*>(memory.address());

    const std::lock_guard<std::mutex> guard(classLock);
    if (_useCount++ == 0) {
        pthread_mutexattr_init(&_attr);
        pthread_mutexattr_settype(&_attr, PTHREAD_MUTEX_RECURSIVE);
        const int error = pthread_mutexattr_setpshared(&_attr, PTHREAD_PROCESS_SHARED);
        if (error != 0) {
            std::cerr << "Cannot set shared attribute - " << error << std::endl;
        }
    }
    if (pthread_mutex_init(mutex, &_attr) != 0) {
        std::cerr << "Cannot create shared mutex" << std::endl;
    }
}

SharedMutex::~SharedMutex() {
    {
        const std::lock_guard<std::mutex> guard(classLock);
        if (--_useCount == 0) {
            pthread_mutexattr_destroy(&_attr);
        }
        pthread_mutex_destroy(mutex);
    }
    try {
        memory.free();
    } catch (const SharedMemory::Exception& error) {
        std::cerr << error.what() << std::endl;
    }
}

void SharedMutex::lockFailed() noexcept {
    std::cerr << "Cannot lock mutex" << std::endl;
}

void SharedMutex::unlockFailed() noexcept {
    std::cerr << "Cannot unlock mutex" << std::endl;
}

} // namespace Ostrel
