// Fault wrappers for shared memory (close included), named semaphores and the process-shared mutex
// set-up.
#include "Fault.h"

#include <cerrno>
#include <cstdarg>

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {

int shm_open(const char* name, int flags, mode_t mode) {
    if (const int error = ostrelFaultCheck("shm_open")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&shm_open)>("shm_open")(name, flags, mode);
}

int ftruncate(int fd, off_t length) noexcept {
    if (const int error = ostrelFaultCheck("ftruncate")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&ftruncate)>("ftruncate")(fd, length);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) noexcept {
    if (const int error = ostrelFaultCheck("mmap")) {
        errno = error;
        return MAP_FAILED;
    }
    return OstrelFault::real<decltype(&mmap)>("mmap")(address, length, protection, flags, fd,
                                                      offset);
}

// Linux releases the descriptor even when close reports an error, and so does the failing
// wrapper: only the result says that it failed.
int close(int fd) {
    static const auto realClose = OstrelFault::real<decltype(&close)>("close");
    if (const int error = ostrelFaultCheck("close")) {
        realClose(fd);
        errno = error;
        return -1;
    }
    return realClose(fd);
}

int munmap(void* address, size_t length) noexcept {
    if (const int error = ostrelFaultCheck("munmap")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&munmap)>("munmap")(address, length);
}

sem_t* sem_open(const char* name, int flags, ...) noexcept {
    va_list args;
    va_start(args, flags);
    mode_t mode = 0;
    unsigned int value = 0;
    if ((flags & O_CREAT) != 0) {
        mode = static_cast<mode_t>(va_arg(args, unsigned int));
        value = va_arg(args, unsigned int);
    }
    va_end(args);
    if (const int error = ostrelFaultCheck("sem_open")) {
        errno = error;
        return SEM_FAILED;
    }
    return OstrelFault::real<decltype(&sem_open)>("sem_open")(name, flags, mode, value);
}

int sem_close(sem_t* semaphore) noexcept {
    if (const int error = ostrelFaultCheck("sem_close")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&sem_close)>("sem_close")(semaphore);
}

int sem_post(sem_t* semaphore) noexcept {
    if (const int error = ostrelFaultCheck("sem_post")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&sem_post)>("sem_post")(semaphore);
}

int sem_wait(sem_t* semaphore) {
    if (const int error = ostrelFaultCheck("sem_wait")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&sem_wait)>("sem_wait")(semaphore);
}

int pthread_mutexattr_setpshared(pthread_mutexattr_t* attr, int shared) noexcept {
    if (const int error = ostrelFaultCheck("pthread_mutexattr_setpshared")) {
        return error;
    }
    return OstrelFault::real<decltype(&pthread_mutexattr_setpshared)>(
        "pthread_mutexattr_setpshared")(attr, shared);
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr) noexcept {
    if (const int error = ostrelFaultCheck("pthread_mutex_init")) {
        return error;
    }
    return OstrelFault::real<decltype(&pthread_mutex_init)>("pthread_mutex_init")(mutex, attr);
}

// Every lock in the process passes through these two, so the real functions are looked up once.
int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    if (const int error = ostrelFaultCheck("pthread_mutex_lock")) {
        return error;
    }
    static const auto realLock =
        OstrelFault::real<decltype(&pthread_mutex_lock)>("pthread_mutex_lock");
    return realLock(mutex);
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) noexcept {
    if (const int error = ostrelFaultCheck("pthread_mutex_unlock")) {
        return error;
    }
    static const auto realUnlock =
        OstrelFault::real<decltype(&pthread_mutex_unlock)>("pthread_mutex_unlock");
    return realUnlock(mutex);
}

} // extern "C"
