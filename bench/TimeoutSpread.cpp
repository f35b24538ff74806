// How long a timed operation that times out really takes: each runs 20 times with a limit of
// 200 ms (FileLock's, which retries, also with 100 ms) on an object that stays unavailable, timed
// on std::chrono::steady_clock. Prints, per operation, the fastest, median, 90th-percentile and
// slowest run and how many ended within the limit plus 15 %. Not a Google Benchmark: a
// distribution, not a rate. `make bench` runs it.
#include <Ostrel/Event.h>
#include <Ostrel/FileLock.h>
#include <Ostrel/Mutex.h>
#include <Ostrel/RWLock.h>
#include <Ostrel/Semaphore.h>
#include <Ostrel/SharedMutex.h>
#include <Ostrel/SharedSemaphore.h>
#include <Ostrel/Thread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr unsigned long limit = 200;
constexpr int runs = 20;

// Runs timesOut(), whose limit is limitMs, runs times; false when one of them did not time out.
bool report(const char* name, const std::function<bool()>& timesOut,
            unsigned long limitMs = limit) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!timesOut()) {
            std::printf("%-30s did not time out\n", name);
            return false;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    const double bound = static_cast<double>(limitMs) * 1.15;
    const auto within = std::count_if(ms.begin(), ms.end(), [&](double t) { return t <= bound; });
    std::printf("%-30s %7.2f %7.2f %7.2f %7.2f   %2ld of %d\n", name, ms.front(), ms[runs / 2],
                ms[runs * 9 / 10], ms.back(), static_cast<long>(within), runs);
    return true;
}

// Holds lock (exclusively) in another thread while it lives.
template <class Lock> class HeldElsewhere {
public:
    explicit HeldElsewhere(Lock& lock)
        : holder([&lock, this] {
              lock.lock();
              held.set();
              done.waitFor(600000);
              lock.unlock();
          }) {
        held.waitFor(600000);
    }
    ~HeldElsewhere() {
        done.set();
        holder.join();
    }
    HeldElsewhere(const HeldElsewhere&) = delete;
    HeldElsewhere& operator=(const HeldElsewhere&) = delete;

private:
    Ostrel::Event held{true, false};
    Ostrel::Event done{true, false};
    std::thread holder;
};

// A thread that runs until done is set.
struct Sleeper : Ostrel::Thread {
    int main() override { return done.waitFor(60000) ? 0 : 1; }
    Ostrel::Event done{true, false};
};

} // namespace

int main() {
    const std::string name = "ostrelTimeoutSpread" + std::to_string(getpid());
    std::printf("%d runs each, limit %lu ms unless given; milliseconds:\n", runs, limit);
    std::printf("%-30s %7s %7s %7s %7s   %s\n", "operation", "min", "median", "p90", "max",
                "<= limit + 15 %");
    bool ok = true;

    Ostrel::Semaphore semaphore(0);
    ok &= report("Semaphore::downFor", [&] { return !semaphore.downFor(limit); });
    Ostrel::Event event(false, false);
    ok &= report("Event::waitFor", [&] { return !event.waitFor(limit); });
    {
        Ostrel::SharedSemaphore shared(name.c_str(), 0);
        ok &= report("SharedSemaphore::downFor", [&] { return !shared.downFor(limit); });
    }
    sem_unlink(("/" + name).c_str());

    Ostrel::Mutex mutex;
    {
        const HeldElsewhere<Ostrel::Mutex> held(mutex);
        ok &= report("Mutex::tryLockFor", [&] { return !mutex.tryLockFor(limit); });
    }
    Ostrel::RWLock rwlock;
    {
        const HeldElsewhere<Ostrel::RWLock> held(rwlock);
        ok &= report("RWLock::tryReadLockFor", [&] { return !rwlock.tryReadLockFor(limit); });
        ok &= report("RWLock::tryWriteLockFor", [&] { return !rwlock.tryWriteLockFor(limit); });
    }
    {
        Ostrel::SharedMutex sharedMutex(name.c_str());
        const HeldElsewhere<Ostrel::SharedMutex> held(sharedMutex);
        ok &= report("SharedMutex::tryLockFor", [&] { return !sharedMutex.tryLockFor(limit); });
    }
    shm_unlink(("/" + name).c_str());
    {
        const std::string path = "/tmp/" + name;
        Ostrel::FileLock holder(path), waiter(path);
        holder.lock();
        ok &= report("FileLock::tryLockFor", [&] { return !waiter.tryLockFor(limit); });
        ok &= report(
            "FileLock::tryLockFor(100)", [&] { return !waiter.tryLockFor(100); }, 100);
        unlink(path.c_str());
    }

    Sleeper sleeper;
    sleeper.start();
    ok &= report("Thread::joinFor", [&] { return !sleeper.joinFor(limit).has_value(); });
    sleeper.done.set();
    sleeper.join();
    return ok ? 0 : 1;
}
