#include <Ostrel/SharedMutex.h>

#include "Messages.h"
#include "sync/ClassAttribute.h"
#include "sync/Deadline.h"

#include <iostream>
#include <string>

namespace Ostrel {

namespace {

// The size of the segment: exactly one platform mutex on the target.
constexpr unsigned long segmentSize = 40;
static_assert(sizeof(pthread_mutex_t) == segmentSize, "the segment holds one pthread_mutex_t");

// Recursive and shared between processes; a refused sharing is printed, and the mutexes made
// from the attribute then serve this process only.
void setUpShared(pthread_mutexattr_t* attribute) {
    pthread_mutexattr_init(attribute);
    pthread_mutexattr_settype(attribute, PTHREAD_MUTEX_RECURSIVE);
    const int error = pthread_mutexattr_setpshared(attribute, PTHREAD_PROCESS_SHARED);
    if (error != 0) {
        std::cerr << internal::composeMessage("Cannot set shared attribute",
                                              std::to_string(error).c_str())
                  << std::endl;
    }
}

internal::ClassAttribute<pthread_mutexattr_t> attribute(setUpShared, pthread_mutexattr_destroy);

} // namespace

pthread_mutexattr_t SharedMutex::_attr;
std::int64_t SharedMutex::_useCount = 0;

SharedMutex::SharedMutex(const char* name) {
    memory.allocate(name, segmentSize);
    mutex = static_cast<pthread_mutex_t*>(memory.address());
    attribute.acquire(_attr, _useCount);
    if (pthread_mutex_init(mutex, &_attr) != 0) {
        std::cerr << "Cannot create shared mutex" << std::endl;
    }
}

SharedMutex::~SharedMutex() {
    attribute.release(_attr, _useCount);
    pthread_mutex_destroy(mutex);
    try {
        memory.free();
    } catch (const SharedMemory::Exception& error) {
        std::cerr << error.what() << std::endl;
    }
}

// pthread_mutex_clocklock is not interrupted by signals: it returns 0, a timeout or an error.
bool SharedMutex::lockWithin(unsigned long milliseconds) noexcept {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    return internal::clockLock(mutex, false, [&] {
               return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
           }) == 0;
}

void SharedMutex::lockFailed() noexcept {
    std::cerr << "Cannot lock mutex" << std::endl;
}

void SharedMutex::unlockFailed() noexcept {
    std::cerr << "Cannot unlock mutex" << std::endl;
}

} // namespace Ostrel
