// In-process synchronisation: each Ostrel operation against the same platform call sequence
// written by hand ("raw") and, for context, the standard library's counterpart ("std").
#include "AllocCount.h"

#include <Ostrel/Event.h>
#include <Ostrel/Mutex.h>
#include <Ostrel/RWLock.h>
#include <Ostrel/Semaphore.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <semaphore>
#include <shared_mutex>
#include <thread>

namespace {

// A recursive pthread mutex, set up as Ostrel::Mutex sets up its own.
struct RawRecursiveMutex {
    RawRecursiveMutex() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~RawRecursiveMutex() { pthread_mutex_destroy(&mutex); }
    pthread_mutex_t mutex;
};

struct RawRWLock {
    RawRWLock() { pthread_rwlock_init(&rwlock, nullptr); }
    ~RawRWLock() { pthread_rwlock_destroy(&rwlock); }
    pthread_rwlock_t rwlock;
};

// The call sequences of Semaphore and Event written out by hand.
struct RawSemaphore {
    RawSemaphore() {
        pthread_mutex_init(&mutex, nullptr);
        pthread_cond_init(&condition, nullptr);
    }
    ~RawSemaphore() {
        pthread_mutex_destroy(&mutex);
        pthread_cond_destroy(&condition);
    }
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    int count = 0;
};

struct RawEvent {
    RawEvent() {
        pthread_mutex_init(&mutex, nullptr);
        pthread_cond_init(&condition, nullptr);
    }
    ~RawEvent() {
        pthread_mutex_destroy(&mutex);
        pthread_cond_destroy(&condition);
    }
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    bool signalled = false;
};

// ---- Mutex ----------------------------------------------------------------------------------

void lockUnlockRaw(benchmark::State& state) {
    RawRecursiveMutex m;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_mutex_lock(&m.mutex));
        benchmark::DoNotOptimize(pthread_mutex_unlock(&m.mutex));
    }
}
BENCHMARK(lockUnlockRaw)->Name("LockUnlock/raw");

void lockUnlockOstrel(benchmark::State& state) {
    Ostrel::Mutex m;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.lock());
        benchmark::DoNotOptimize(m.unlock());
    }
}
BENCHMARK(lockUnlockOstrel)->Name("LockUnlock/ostrel");

void lockUnlockStd(benchmark::State& state) {
    std::recursive_mutex m;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        m.lock();
        m.unlock();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(lockUnlockStd)->Name("LockUnlock/std");

void tryLockUnlockRaw(benchmark::State& state) {
    RawRecursiveMutex m;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_mutex_trylock(&m.mutex) == 0);
        benchmark::DoNotOptimize(pthread_mutex_unlock(&m.mutex));
    }
}
BENCHMARK(tryLockUnlockRaw)->Name("TryLockUnlock/raw");

void tryLockUnlockOstrel(benchmark::State& state) {
    Ostrel::Mutex m;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.tryLock());
        benchmark::DoNotOptimize(m.unlock());
    }
}
BENCHMARK(tryLockUnlockOstrel)->Name("TryLockUnlock/ostrel");

void tryLockUnlockStd(benchmark::State& state) {
    std::recursive_mutex m;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.try_lock());
        m.unlock();
    }
}
BENCHMARK(tryLockUnlockStd)->Name("TryLockUnlock/std");

// ---- RWLock ---------------------------------------------------------------------------------

void readLockUnlockRaw(benchmark::State& state) {
    RawRWLock l;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_rwlock_rdlock(&l.rwlock));
        benchmark::DoNotOptimize(pthread_rwlock_unlock(&l.rwlock));
    }
}
BENCHMARK(readLockUnlockRaw)->Name("ReadLockUnlock/raw");

void readLockUnlockOstrel(benchmark::State& state) {
    Ostrel::RWLock l;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(l.readLock());
        benchmark::DoNotOptimize(l.unlock());
    }
}
BENCHMARK(readLockUnlockOstrel)->Name("ReadLockUnlock/ostrel");

void readLockUnlockStd(benchmark::State& state) {
    std::shared_mutex l;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        l.lock_shared();
        l.unlock_shared();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(readLockUnlockStd)->Name("ReadLockUnlock/std");

void writeLockUnlockRaw(benchmark::State& state) {
    RawRWLock l;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_rwlock_wrlock(&l.rwlock));
        benchmark::DoNotOptimize(pthread_rwlock_unlock(&l.rwlock));
    }
}
BENCHMARK(writeLockUnlockRaw)->Name("WriteLockUnlock/raw");

void writeLockUnlockOstrel(benchmark::State& state) {
    Ostrel::RWLock l;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(l.writeLock());
        benchmark::DoNotOptimize(l.unlock());
    }
}
BENCHMARK(writeLockUnlockOstrel)->Name("WriteLockUnlock/ostrel");

void writeLockUnlockStd(benchmark::State& state) {
    std::shared_mutex l;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        l.lock();
        l.unlock();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(writeLockUnlockStd)->Name("WriteLockUnlock/std");

// ---- Semaphore ------------------------------------------------------------------------------

void semaphoreUpDownRaw(benchmark::State& state) {
    RawSemaphore s;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        pthread_mutex_lock(&s.mutex);
        ++s.count;
        pthread_mutex_unlock(&s.mutex);
        benchmark::DoNotOptimize(pthread_cond_signal(&s.condition));
        pthread_mutex_lock(&s.mutex);
        while (s.count < 1) {
            pthread_cond_wait(&s.condition, &s.mutex);
        }
        --s.count;
        benchmark::DoNotOptimize(pthread_mutex_unlock(&s.mutex));
    }
}
BENCHMARK(semaphoreUpDownRaw)->Name("SemaphoreUpDown/raw");

void semaphoreUpDownOstrel(benchmark::State& state) {
    Ostrel::Semaphore s(0);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.up());
        benchmark::DoNotOptimize(s.down());
    }
}
BENCHMARK(semaphoreUpDownOstrel)->Name("SemaphoreUpDown/ostrel");

void semaphoreUpDownStd(benchmark::State& state) {
    std::counting_semaphore<> s(0);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        s.release();
        s.acquire();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(semaphoreUpDownStd)->Name("SemaphoreUpDown/std");

// ---- Event ----------------------------------------------------------------------------------

void eventSetWaitRaw(benchmark::State& state) {
    RawEvent e;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        pthread_mutex_lock(&e.mutex);
        e.signalled = true;
        pthread_cond_signal(&e.condition);
        benchmark::DoNotOptimize(pthread_mutex_unlock(&e.mutex));
        pthread_mutex_lock(&e.mutex);
        if (!e.signalled) {
            pthread_cond_wait(&e.condition, &e.mutex);
        }
        e.signalled = false;
        benchmark::DoNotOptimize(pthread_mutex_unlock(&e.mutex));
    }
}
BENCHMARK(eventSetWaitRaw)->Name("EventSetWait/raw");

void eventSetWaitOstrel(benchmark::State& state) {
    Ostrel::Event e(false, false);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(e.set());
        benchmark::DoNotOptimize(e.wait());
    }
}
BENCHMARK(eventSetWaitOstrel)->Name("EventSetWait/ostrel");

// ---- Timed operations that need not wait ----------------------------------------------------
// Each against the calls a hand-written version makes when it finds what it waits for: the same
// lock, test and unlock, with no clock read (the clock is read only before a wait).

// A count that stays positive for every iteration: tryDown, or downFor, takes one each time.
void takeOneRaw(benchmark::State& state) {
    RawSemaphore s;
    s.count = INT32_MAX;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        pthread_mutex_lock(&s.mutex);
        const bool taken = s.count >= 1;
        if (taken) {
            --s.count;
        }
        pthread_mutex_unlock(&s.mutex);
        benchmark::DoNotOptimize(taken);
    }
}
BENCHMARK(takeOneRaw)->Name("TryDown/raw");
BENCHMARK(takeOneRaw)->Name("DownForPositive/raw");

void tryDownOstrel(benchmark::State& state) {
    Ostrel::Semaphore s(INT32_MAX);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.tryDown());
    }
}
BENCHMARK(tryDownOstrel)->Name("TryDown/ostrel");

void downForPositiveOstrel(benchmark::State& state) {
    Ostrel::Semaphore s(INT32_MAX);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.downFor(1000));
    }
}
BENCHMARK(downForPositiveOstrel)->Name("DownForPositive/ostrel");

// tryLockFor(0) on a free mutex, then unlock: raw is pthread_mutex_trylock and unlock.
void tryLockForZeroRaw(benchmark::State& state) {
    RawRecursiveMutex m;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_mutex_trylock(&m.mutex) == 0);
        benchmark::DoNotOptimize(pthread_mutex_unlock(&m.mutex));
    }
}
BENCHMARK(tryLockForZeroRaw)->Name("TryLockForZero/raw");

void tryLockForZeroOstrel(benchmark::State& state) {
    Ostrel::Mutex m;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.tryLockFor(0));
        benchmark::DoNotOptimize(m.unlock());
    }
}
BENCHMARK(tryLockForZeroOstrel)->Name("TryLockForZero/ostrel");

// The hand-written timed wait of a manual-reset event, with its wait out of line as in the
// library: while the event is clear, wait on the monotonic clock until the deadline.
[[gnu::noinline]] void rawAwaitSet(RawEvent& e, unsigned long milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    while (!e.signalled &&
           pthread_cond_clockwait(&e.condition, &e.mutex, CLOCK_MONOTONIC, &deadline) == 0) {
    }
}

// waitFor on a set manual-reset event: raw is lock, test (wait while clear), unlock.
void waitForSetRaw(benchmark::State& state) {
    RawEvent e;
    e.signalled = true;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        pthread_mutex_lock(&e.mutex);
        if (!e.signalled) {
            rawAwaitSet(e, 1000);
        }
        const bool found = e.signalled;
        pthread_mutex_unlock(&e.mutex);
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(waitForSetRaw)->Name("WaitForSet/raw");

void waitForSetOstrel(benchmark::State& state) {
    Ostrel::Event e(true, true);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(e.waitFor(1000));
    }
}
BENCHMARK(waitForSetOstrel)->Name("WaitForSet/ostrel");

// ---- Two-thread ping-pong: one round trip per iteration ------------------------------------

void pingPongOstrel(benchmark::State& state) {
    Ostrel::Event ping(false, false);
    Ostrel::Event pong(false, false);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            ping.wait();
            if (stop.load()) {
                break;
            }
            pong.set();
        }
    });
    for (auto _ : state) {
        ping.set();
        pong.wait();
    }
    stop = true;
    ping.set();
    partner.join();
}
BENCHMARK(pingPongOstrel)->Name("PingPong/ostrel")->UseRealTime();

// The same with std::mutex and std::condition_variable: a flag per direction.
void pingPongStd(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable pingCv;
    std::condition_variable pongCv;
    bool pingSet = false;
    bool pongSet = false;
    bool stop = false;
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            pingCv.wait(lock, [&] { return pingSet; });
            pingSet = false;
            if (stop) {
                break;
            }
            pongSet = true;
            pongCv.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        pingSet = true;
        pingCv.notify_one();
        pongCv.wait(lock, [&] { return pongSet; });
        pongSet = false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        pingSet = true;
    }
    pingCv.notify_one();
    partner.join();
}
BENCHMARK(pingPongStd)->Name("PingPong/std")->UseRealTime();

} // namespace

BENCHMARK_MAIN();
