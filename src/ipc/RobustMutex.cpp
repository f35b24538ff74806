#include <Ostrel/RobustMutex.h>

#include "Messages.h"
#include "ipc/SharedObject.h"
#include "sync/Deadline.h"

#include <cerrno>
#include <ctime>
#include <iostream>
#include <mutex>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Ostrel {

pid_t RobustMutex::_processId = 0;

namespace {

// How long a joiner waits for the creator to make the lock ready.
constexpr unsigned long readyMilliseconds = 1000;

[[noreturn]] void fail(const char* text, int error) {
    throw RobustMutex::Exception(text, internal::errorText(error).c_str());
}

[[noreturn]] void cannotCreate(int error) {
    fail("Cannot create robust mutex", error);
}

// Recursive, shared between processes, robust; initialises the lock at mutex.
int initialise(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attribute;
    pthread_mutexattr_init(&attribute);
    pthread_mutexattr_settype(&attribute, PTHREAD_MUTEX_RECURSIVE);
    int error = pthread_mutexattr_setpshared(&attribute, PTHREAD_PROCESS_SHARED);
    if (error == 0) {
        error = pthread_mutexattr_setrobust(&attribute, PTHREAD_MUTEX_ROBUST);
    }
    if (error == 0) {
        error = pthread_mutex_init(mutex, &attribute);
    }
    pthread_mutexattr_destroy(&attribute);
    return error;
}

// The futex calls on a word that several processes map (no FUTEX_PRIVATE_FLAG).
long futex(std::atomic<std::uint32_t>* word, int operation, std::uint32_t value,
           const timespec* deadline) {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), operation, value, deadline,
                   nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Sleeps until *ready is set or the deadline (absolute, CLOCK_MONOTONIC) passes.
bool awaitReady(std::atomic<std::uint32_t>* ready, const timespec& deadline) {
    while (ready->load(std::memory_order_acquire) == 0) {
        if (futex(ready, FUTEX_WAIT_BITSET, 0, &deadline) == -1 && errno == ETIMEDOUT) {
            return ready->load(std::memory_order_acquire) != 0;
        }
    }
    return true;
}

// Records the process id of a child: the parent's stays in the objects the child inherits.
void takeProcessId(pid_t* processId) {
    *processId = getpid();
}

std::once_flag processIdSetUp;

} // namespace

RobustMutex::Exception::Exception(const char* text, const char* detail)
    : _message(internal::composeMessage(text, detail)) {}

RobustMutex::Exception::~Exception() = default;

const char* RobustMutex::Exception::what() const {
    return _message.c_str();
}

RobustMutex::RobustMutex(const char* name) : state(nullptr) {
    std::call_once(processIdSetUp, [] {
        takeProcessId(&_processId);
        pthread_atfork(nullptr, nullptr, [] { takeProcessId(&_processId); });
    });
    const std::string objectName = std::string("/") + name;
    bool created = false;
    const int fd = internal::openOrCreateShared(objectName, 0666, created);
    if (fd == -1) {
        cannotCreate(errno);
    }
    // A joiner may come between the creator's shm_open and its ftruncate: it gives the object its
    // size itself (the same size, so the creator's ftruncate changes nothing) and waits for ready.
    struct stat info {};
    int error = fstat(fd, &info) == -1 ? errno : 0;
    if (error == 0 && info.st_size < static_cast<off_t>(sizeof(State)) &&
        ftruncate(fd, sizeof(State)) == -1) {
        error = errno;
    }
    void* base = MAP_FAILED;
    if (error == 0) {
        base = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        error = base == MAP_FAILED ? errno : 0;
    }
    close(fd);
    if (error == 0) {
        state = static_cast<State*>(base);
        if (created) {
            error = initialise(&state->mutex);
        }
    }
    if (error != 0) {
        if (created) {
            shm_unlink(objectName.c_str());
        }
        if (base != MAP_FAILED) {
            munmap(base, sizeof(State));
        }
        cannotCreate(error);
    }
    if (created) {
        state->ready.store(1, std::memory_order_release);
        futex(&state->ready, FUTEX_WAKE, INT32_MAX, nullptr);
    } else if (!awaitReady(&state->ready, internal::monotonicDeadline(readyMilliseconds))) {
        munmap(base, sizeof(State));
        throw Exception("Shared lock is not initialised", nullptr);
    }
}

RobustMutex::~RobustMutex() {
    munmap(state, sizeof(State));
}

RobustMutex::LockResult RobustMutex::lockFailed(int error) {
    LockResult result = Acquired;
    if (tookAfter(error, &result)) {
        return result;
    }
    fail("Cannot lock robust mutex", error);
}

// EOWNERDEAD: the lock is held by the caller, at one level, and inconsistent until
// markConsistent. ENOTRECOVERABLE: a holder unlocked it in that state.
bool RobustMutex::tookAfter(int error, LockResult* result) {
    if (error == ENOTRECOVERABLE) {
        throw Exception("Shared lock is not recoverable", nullptr);
    }
    if (error != EOWNERDEAD) {
        return false;
    }
    state->depth = 0;
    noteAcquired();
    if (result != nullptr) {
        *result = OwnerDied;
    }
    return true;
}

// pthread_mutex_clocklock is not interrupted by signals: it returns 0, a timeout or an error. It
// also serves tryLock, with a deadline that has passed: pthread_mutex_trylock of the C library
// leaves a lock that is not recoverable locked by the caller when it reports ENOTRECOVERABLE,
// and every other process's lock() would then block until the caller's thread ends.
bool RobustMutex::lockUntil(const timespec* deadline, LockResult* result) {
    static const timespec passed{0, 0};
    const timespec* const limit = deadline != nullptr ? deadline : &passed;
    int error = 0;
    // EOWNERDEAD hands the lock over: taken, for ThreadSanitizer too.
    internal::clockLock(&state->mutex, false, [&] {
        error = pthread_mutex_clocklock(&state->mutex, CLOCK_MONOTONIC, limit);
        return error == EOWNERDEAD ? 0 : error;
    });
    if (error != 0) {
        return tookAfter(error, result);
    }
    noteAcquired();
    if (result != nullptr) {
        *result = Acquired;
    }
    return true;
}

bool RobustMutex::lockWithin(unsigned long milliseconds, LockResult* result) {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    return lockUntil(&deadline, result);
}

void RobustMutex::unlockFailed(int error) noexcept {
    std::cerr << internal::composeMessage("Cannot unlock robust mutex",
                                          internal::errorText(error).c_str())
              << std::endl;
}

void RobustMutex::markConsistent() {
    const int error = pthread_mutex_consistent(&state->mutex);
    if (error != 0) {
        fail("Cannot mark robust mutex consistent", error);
    }
}

bool RobustMutex::remove(const char* name) {
    if (shm_unlink((std::string("/") + name).c_str()) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        fail("Cannot remove robust mutex", errno);
    }
    return false;
}

} // namespace Ostrel
