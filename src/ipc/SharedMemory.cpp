#include <Ostrel/SharedMemory.h>

#include "Messages.h"
#include "ipc/SharedObject.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Ostrel {

SharedMemory::Exception::Exception(const char* text, const char* detail)
    : _message(internal::composeMessage(text, detail)) {}

SharedMemory::Exception::~Exception() = default;

const char* SharedMemory::Exception::what() const {
    return _message.c_str();
}

SharedMemory::SharedMemory() noexcept : descriptor(-1), length(0), base(MAP_FAILED) {}

SharedMemory::~SharedMemory() {
    if (descriptor != -1) {
        munmap(base, length);
        close(descriptor);
    }
}

void SharedMemory::allocate(const char* name, unsigned long size) {
    if (descriptor != -1) {
        throw Exception("Shared memory is already allocated", nullptr);
    }
    const std::string objectName = std::string("/") + name;
    descriptor = shm_open(objectName.c_str(), O_RDWR | O_CREAT, 0666);
    if (descriptor == -1) {
        throw Exception("Cannot create shared memory", internal::errorText(errno).c_str());
    }
    sizeAndMap(size);
}

// Created exclusively to know whether this call made the object, which alone gets mode.
void SharedMemory::allocate(const char* name, unsigned long size, mode_t mode) {
    if (descriptor != -1) {
        throw Exception("Shared memory is already allocated", nullptr);
    }
    const std::string objectName = std::string("/") + name;
    bool created = false;
    descriptor = internal::openOrCreateShared(objectName, mode, created);
    if (descriptor == -1) {
        throw Exception("Cannot create shared memory", internal::errorText(errno).c_str());
    }
    if (created && fchmod(descriptor, mode) == -1) {
        const int error = errno;
        shm_unlink(objectName.c_str());
        close(descriptor);
        descriptor = -1;
        throw Exception("Cannot create shared memory", internal::errorText(error).c_str());
    }
    sizeAndMap(size);
}

bool SharedMemory::remove(const char* name) {
    if (shm_unlink((std::string("/") + name).c_str()) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        throw Exception("Cannot remove shared memory", internal::errorText(errno).c_str());
    }
    return false;
}

void SharedMemory::sizeAndMap(unsigned long size) {
    length = size;
    if (ftruncate(descriptor, static_cast<off_t>(size)) == -1) {
        const int error = errno;
        close(descriptor);
        descriptor = -1;
        throw Exception("Cannot set size of shared memory", internal::errorText(error).c_str());
    }
    base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (base == MAP_FAILED) {
        const int error = errno;
        close(descriptor);
        descriptor = -1;
        throw Exception("Cannot map shared memory", internal::errorText(error).c_str());
    }
}

void SharedMemory::free() {
    if (descriptor == -1) {
        throw Exception("No shared memory allocated", nullptr);
    }
    if (munmap(base, length) == -1) {
        const int error = errno;
        base = MAP_FAILED;
        close(descriptor);
        descriptor = -1;
        throw Exception("Cannot unmap shared memory", internal::errorText(error).c_str());
    }
    base = MAP_FAILED;
    const int closed = close(descriptor);
    descriptor = -1;
    if (closed == -1) {
        throw Exception("Cannot free shared memory", internal::errorText(errno).c_str());
    }
}

void* SharedMemory::address() const {
    if (descriptor == -1) {
        throw Exception("No shared memory allocated", nullptr);
    }
    return base;
}

} // namespace Ostrel
