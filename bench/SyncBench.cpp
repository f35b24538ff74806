// In-process synchronisation: each Ostrel operation against the same platform call sequence
// written by hand ("raw") and, for context, the standard library's counterpart ("std").
#include "AllocCount.h"
#include "RawSync.h"

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

using OstrelBench::RawEvent;
using OstrelBench::RawRecursiveMutex;
using OstrelBench::RawRWLock;
using OstrelBench::RawSemaphore;

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
        benchmark::DoNotOptimize(s.up());
        benchmark::DoNotOptimize(s.down());
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
        benchmark::DoNotOptimize(e.set());
        benchmark::DoNotOptimize(e.wait());
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
        benchmark::DoNotOptimize(s.tryDown());
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
