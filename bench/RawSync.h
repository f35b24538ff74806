// The in-process synchronisation objects written by hand with the pthread calls, set up as the
// Ostrel classes set up their own: the "raw" variant of bench/SyncBench.cpp and of the peer
// benchmarks, so that both measure against the same sequences. Not copyable.
#pragma once

#include <pthread.h>

namespace OstrelBench {

// A recursive pthread mutex, as Ostrel::Mutex has it.
struct RawRecursiveMutex {
    RawRecursiveMutex() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~RawRecursiveMutex() { pthread_mutex_destroy(&mutex); }
    RawRecursiveMutex(const RawRecursiveMutex&) = delete;
    RawRecursiveMutex& operator=(const RawRecursiveMutex&) = delete;
    pthread_mutex_t mutex;
};

struct RawRWLock {
    RawRWLock() { pthread_rwlock_init(&rwlock, nullptr); }
    ~RawRWLock() { pthread_rwlock_destroy(&rwlock); }
    RawRWLock(const RawRWLock&) = delete;
    RawRWLock& operator=(const RawRWLock&) = delete;
    pthread_rwlock_t rwlock;
};

// The counting semaphore of Ostrel::Semaphore: a count under a mutex, a condition to wait on.
struct RawSemaphore {
    RawSemaphore() {
        pthread_mutex_init(&mutex, nullptr);
        pthread_cond_init(&condition, nullptr);
    }
    ~RawSemaphore() {
        pthread_mutex_destroy(&mutex);
        pthread_cond_destroy(&condition);
    }
    RawSemaphore(const RawSemaphore&) = delete;
    RawSemaphore& operator=(const RawSemaphore&) = delete;
    int up() {
        pthread_mutex_lock(&mutex);
        ++count;
        pthread_mutex_unlock(&mutex);
        return pthread_cond_signal(&condition);
    }
    int down() {
        pthread_mutex_lock(&mutex);
        while (count < 1) {
            pthread_cond_wait(&condition, &mutex);
        }
        --count;
        return pthread_mutex_unlock(&mutex);
    }
    // Takes one if the count is positive, without waiting.
    bool tryDown() {
        pthread_mutex_lock(&mutex);
        const bool taken = count >= 1;
        if (taken) {
            --count;
        }
        pthread_mutex_unlock(&mutex);
        return taken;
    }
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    int count = 0;
};

// The automatic-reset event of Ostrel::Event: a flag under a mutex, a condition to wait on.
struct RawEvent {
    RawEvent() {
        pthread_mutex_init(&mutex, nullptr);
        pthread_cond_init(&condition, nullptr);
    }
    ~RawEvent() {
        pthread_mutex_destroy(&mutex);
        pthread_cond_destroy(&condition);
    }
    RawEvent(const RawEvent&) = delete;
    RawEvent& operator=(const RawEvent&) = delete;
    int set() {
        pthread_mutex_lock(&mutex);
        signalled = true;
        pthread_cond_signal(&condition);
        return pthread_mutex_unlock(&mutex);
    }
    int wait() {
        pthread_mutex_lock(&mutex);
        while (!signalled) {
            pthread_cond_wait(&condition, &mutex);
        }
        signalled = false;
        return pthread_mutex_unlock(&mutex);
    }
    // Takes the signal if it is set, without waiting.
    bool tryWait() {
        pthread_mutex_lock(&mutex);
        const bool taken = signalled;
        signalled = false;
        pthread_mutex_unlock(&mutex);
        return taken;
    }
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    bool signalled = false;
};

} // namespace OstrelBench
