#include <Ostrel/SharedSemaphore.h>

#include "Messages.h"
#include "sync/Deadline.h"

#include <cerrno>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

namespace Ostrel {

namespace {

// Where the C library keeps the file of the named semaphore "/" + name: this directory + name.
const char semaphoreDir[] = "/dev/shm/sem.";

void report(const char* text, int error) {
    std::cerr << internal::composeMessage(text, internal::errorText(error).c_str()) << std::endl;
}

} // namespace

SharedSemaphore::SharedSemaphore(const char* name, int value) {
    const std::string objectName = std::string("/") + name;
    semaphore = sem_open(objectName.c_str(), O_CREAT, 0644, static_cast<unsigned int>(value));
    if (semaphore == SEM_FAILED) {
        semaphore = nullptr;
        report("Cannot create shared semaphore", errno);
    }
}

// Created exclusively to know whether this call made it; one removed between the refused creation
// and the opening is created anew.
SharedSemaphore::SharedSemaphore(const char* name, int value, mode_t mode) : semaphore(nullptr) {
    const std::string objectName = std::string("/") + name;
    int error = 0;
    for (;;) {
        sem_t* opened =
            sem_open(objectName.c_str(), O_CREAT | O_EXCL, mode, static_cast<unsigned int>(value));
        if (opened != SEM_FAILED) {
            if (chmod((std::string(semaphoreDir) + name).c_str(), mode) == 0) {
                semaphore = opened;
                return;
            }
            error = errno;
            sem_unlink(objectName.c_str());
            sem_close(opened);
            break;
        }
        error = errno;
        if (error != EEXIST) {
            break;
        }
        opened = sem_open(objectName.c_str(), 0);
        if (opened != SEM_FAILED) {
            semaphore = opened;
            return;
        }
        error = errno;
        if (error != ENOENT) {
            break;
        }
    }
    report("Cannot create shared semaphore", error);
}

SharedSemaphore::~SharedSemaphore() {
    if (semaphore == nullptr) {
        report("Cannot close shared semaphore", EINVAL);
    } else if (sem_close(semaphore) == -1) {
        report("Cannot close shared semaphore", errno);
    }
}

void SharedSemaphore::postFailed() const noexcept {
    report("Cannot post shared semaphore", semaphore == nullptr ? EINVAL : errno);
}

void SharedSemaphore::waitFailed() const noexcept {
    report("Cannot wait on shared semaphore", semaphore == nullptr ? EINVAL : errno);
}

// Goes on from a sem_trywait that did not take one, with its errno: EAGAIN is a count of 0.
bool SharedSemaphore::awaitCount(unsigned long milliseconds) const {
    if (semaphore == nullptr || errno != EAGAIN) {
        waitFailed();
        return false;
    }
    if (milliseconds == 0) {
        return false;
    }
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    int result = 0;
    do {
        result = sem_clockwait(semaphore, CLOCK_MONOTONIC, &deadline);
    } while (result == -1 && errno == EINTR);
    if (result == 0) {
#if defined(OSTREL_THREAD_SANITIZER)
        // It knows sem_post and sem_wait but not sem_clockwait: the post happened before this.
        __tsan_acquire(semaphore);
#endif
        return true;
    }
    if (errno != ETIMEDOUT) {
        waitFailed();
    }
    return false;
}

int SharedSemaphore::value() const noexcept {
    int count = -1;
    if (semaphore == nullptr || sem_getvalue(semaphore, &count) == -1) {
        report("Cannot get value of shared semaphore", semaphore == nullptr ? EINVAL : errno);
        return -1;
    }
    return count;
}

bool SharedSemaphore::remove(const char* name) {
    if (sem_unlink((std::string("/") + name).c_str()) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        report("Cannot remove shared semaphore", errno);
    }
    return false;
}

} // namespace Ostrel
