#include <Ostrel/SharedSemaphore.h>

#include "Messages.h"

#include <cerrno>
#include <iostream>
#include <string>

#include <fcntl.h>

namespace Ostrel {

namespace {

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

} // namespace Ostrel
