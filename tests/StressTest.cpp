// Stress tests: what only sustained load finds. ThreadSanitizer runs a tenth of every count.
#include <Ostrel/Semaphore.h>
#include <Ostrel/SharedMutex.h>
#include <Ostrel/Thread.h>

#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include <unistd.h>

namespace {

constexpr int scale = OstrelTest::threadSanitizerBuild ? 10 : 1;

TEST(StressTest, SemaphoreUpDownPairs) {
    Ostrel::Semaphore semaphore(2);
    OstrelTest::runThreads(8, [&](int t) { // half start with a down, which waits when none is left
        for (int i = 0; i < 200000 / scale; ++i) {
            (i + t) % 2 == 0 ? semaphore.down() : semaphore.up();
        }
    });
    // On copies in children, the count is back at 2: two downs pass, a third waits (killed).
    const auto downs = [&semaphore](int n) {
        const pid_t child = fork();
        if (child == 0) {
            for (int i = 0; i < n; ++i) {
                semaphore.down();
            }
            _exit(0);
        }
        return OstrelTest::waitForExit(child, n == 2 ? 10000 : 300);
    };
    EXPECT_EQ(downs(2), 0);
    EXPECT_EQ(downs(3), -1);
}

// A thread runs to its end (5), then until cancelled (at once or while it spins, cancel-safe),
// cycle after cycle: the address space grows by much less than a leaked thread's 8 MiB a cycle.
struct TestThread : Ostrel::Thread {
    int main() override {
        while (spins.fetch_add(1, std::memory_order_relaxed) > 0) {
        }
        return 5;
    }
    std::atomic<long> spins{0};
};

TEST(StressTest, ThreadStartJoinAndTerminateCycles) {
    long before = 0, after = 0; // pages
    for (int i = -50; i < 2000 / scale; ++i) {
        std::ifstream("/proc/self/statm") >> (i <= 0 ? before : after);
        TestThread thread;
        thread.start();
        EXPECT_EQ(thread.join(), 5);
        thread.start();
        EXPECT_TRUE(i % 2 != 0 || OstrelTest::eventually([&] { return thread.spins.load() > 1; }));
        thread.terminate(i);
        EXPECT_EQ(thread.join(), i);
    }
    EXPECT_LE((after - before) * getpagesize() >> 20, OstrelTest::addressSanitizerBuild ? 320 : 64);
}

// Four processes add to a counter in SharedMemory under a SharedMutex: no increment is lost.
TEST(StressTest, SharedMutexBetweenFourProcesses) {
    const OstrelTest::NamedObject lockName, counterName;
    Ostrel::SharedMutex mutex(lockName.c_str());
    Ostrel::SharedMemory memory;
    memory.allocate(counterName.c_str(), sizeof(long));
    volatile long& counter = *static_cast<long*>(memory.address());
    pid_t children[4];
    for (pid_t& child : children) {
        if ((child = fork()) == 0) {
            for (long i = 0; i < 1000000 / scale; ++i) {
                mutex.lock();
                counter = counter + 1;
                mutex.unlock();
            }
            _exit(0);
        }
    }
    for (const pid_t child : children) {
        EXPECT_EQ(OstrelTest::waitForExit(child, 60000), 0);
    }
    EXPECT_EQ(counter, 4 * 1000000 / scale);
}

} // namespace
