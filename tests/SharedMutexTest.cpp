#include <Ostrel/SharedMemory.h>
#include <Ostrel/SharedMutex.h>
#include <Ostrel/SharedSemaphore.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using Ostrel::SharedMemory;
using Ostrel::SharedMutex;
using OstrelTest::captureStderr;
using OstrelTest::runInChild;
using OstrelTest::uniqueName;

namespace {

struct Name {
    std::string text = uniqueName("ostrelMtx");
    ~Name() {
        shm_unlink(("/" + text).c_str());
        sem_unlink(("/" + text).c_str());
    }
    const char* c_str() const { return text.c_str(); }
};

} // namespace

TEST(SharedMutexTest, ExcludesAnotherProcessAndRecurses) {
    Name name;
    Name gate; // a semaphore: the child holds the lock until the parent has tried
    SharedMutex mutex(name.c_str());
    Ostrel::SharedSemaphore held(gate.c_str(), 0);
    Ostrel::SharedSemaphore tried((gate.text + "b").c_str(), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        mutex.lock();
        mutex.lock(); // recursive: does not block
        held.up();
        tried.down();
        mutex.unlock();
        mutex.unlock();
        _exit(0);
    }
    held.down();
    EXPECT_FALSE(mutex.tryLock());
    tried.up();
    mutex.lock(); // proceeds once the child has unlocked twice
    EXPECT_TRUE(mutex.tryLock());
    mutex.unlock();
    mutex.unlock();
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    sem_unlink(("/" + gate.text + "b").c_str());
}

TEST(SharedMutexTest, LockOfDeadProcessFreedByNextConstruction) {
    Name name;
    ASSERT_EQ(runInChild([&]() -> int {
                  SharedMutex mutex(name.c_str());
                  mutex.lock();
                  _exit(0); // ends holding the lock
              }),
              0);
    EXPECT_EQ(runInChild([&] {
                  SharedMemory raw; // the segment alone: the lock is still held
                  raw.allocate(name.c_str(), 40);
                  return pthread_mutex_trylock(static_cast<pthread_mutex_t*>(raw.address()));
              }),
              EBUSY);
    SharedMutex mutex(name.c_str());
    EXPECT_TRUE(mutex.tryLock());
    mutex.unlock();
    std::lock_guard<SharedMutex> guard(mutex);
}

TEST(SharedMutexTest, FurtherSlashThrowsTheSegmentError) {
    std::string message;
    try {
        SharedMutex mutex("ostrel/further");
    } catch (const SharedMemory::Exception& error) {
        message = error.what();
    }
    EXPECT_EQ(message, std::string("Cannot create shared memory - ") + std::strerror(EINVAL));
}

TEST(SharedMutexTest, SegmentFailuresLeaveTheConstructor) {
    struct Case {
        const char* rule;
        const char* message;
    };
    const Case cases[] = {
        {"shm_open:1:13", "Cannot create shared memory - Permission denied"},
        {"ftruncate:1:27", "Cannot set size of shared memory - File too large"},
        {"mmap:1:12", "Cannot map shared memory - Cannot allocate memory"},
    };
    for (const Case& c : cases) {
        Name name;
        EXPECT_EQ(runInChild([&] {
                      const OstrelTest::ResourceSnapshot before;
                      std::string message;
                      ostrelFaultSet(c.rule);
                      try {
                          SharedMutex mutex(name.c_str());
                      } catch (const SharedMemory::Exception& error) {
                          message = error.what();
                      }
                      // The count was not touched: the next object is the first and sets up
                      // the attribute object.
                      const std::string err = captureStderr([&] {
                          ostrelFaultSet("pthread_mutexattr_setpshared:1:95");
                          SharedMutex mutex(name.c_str());
                          ostrelFaultSet(nullptr);
                      });
                      shm_unlink(("/" + name.text).c_str());
                      return message == c.message && err == "Cannot set shared attribute - 95\n" &&
                                     before.unchanged()
                                 ? 0
                                 : 1;
                  }),
                  0)
            << c.rule;
    }
}

TEST(SharedMutexTest, DiagnosticLines) {
    Name name;
    const int rc = runInChild([&] {
        std::string err = captureStderr([&] {
            ostrelFaultSet("pthread_mutexattr_setpshared:1:95,pthread_mutex_init:1:11");
            SharedMutex mutex(name.c_str());
            ostrelFaultSet(nullptr);
        });
        if (err != "Cannot set shared attribute - 95\nCannot create shared mutex\n") {
            return 1;
        }
        // While one object lives, later ones take their lock from the same attribute object (the
        // shared setting is not tried again), still recursive.
        bool recursive = false;
        err = captureStderr([&] {
            ostrelFaultSet("pthread_mutexattr_setpshared:1:95");
            SharedMutex kept(name.c_str());
            SharedMutex mutex(name.c_str());
            ostrelFaultSet(nullptr);
            recursive = mutex.tryLock() && mutex.tryLock();
            mutex.unlock();
            mutex.unlock();
        });
        if (err != "Cannot set shared attribute - 95\n" || !recursive) {
            return 3;
        }
        if (OstrelTest::threadSanitizerBuild) {
            return 0; // its unlock interceptor reports the refused unlock as a misuse
        }
        err = captureStderr([&] {
            SharedMutex mutex(name.c_str());
            ostrelFaultSet("pthread_mutex_lock:1:22,pthread_mutex_unlock:1:1");
            mutex.lock();
            ostrelFaultSet(nullptr);
            bool free = false; // the failed lock returned without the lock
            std::thread([&] {
                free = mutex.tryLock();
                mutex.unlock();
            }).join();
            ostrelFaultSet("pthread_mutex_unlock:1:1");
            mutex.unlock();
            ostrelFaultSet(free ? "munmap:1:22" : nullptr);
        });
        err += captureStderr([&] {
            SharedMutex mutex(name.c_str());
            ostrelFaultSet("close:1:5");
        });
        ostrelFaultSet(nullptr);
        return err == "Cannot lock mutex\nCannot unlock mutex\n"
                      "Cannot unmap shared memory - Invalid argument\n"
                      "Cannot free shared memory - Input/output error\n"
                   ? 0
                   : 2;
    });
    EXPECT_EQ(rc, 0);
}

TEST(SharedMutexTest, FourProcessesCountToOneMillion) {
    Name name;
    Name counterName;
    SharedMutex mutex(name.c_str());
    SharedMemory counter;
    counter.allocate(counterName.c_str(), sizeof(std::uint64_t));
    auto* value = static_cast<volatile std::uint64_t*>(counter.address());
    *value = 0;
    pid_t pids[4];
    for (pid_t& pid : pids) {
        pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 250000; ++i) {
                std::lock_guard<SharedMutex> guard(mutex);
                *value = *value + 1;
            }
            _exit(0);
        }
    }
    for (pid_t pid : pids) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    EXPECT_EQ(*value, 1000000U);
}
