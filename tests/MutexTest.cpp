#include <Ostrel/Mutex.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using Ostrel::Mutex;
using namespace std::chrono_literals;

namespace {

using OstrelTest::eventually;

bool tryLockElsewhere(Mutex& m) {
    bool got = false;
    std::thread([&] {
        got = m.tryLock();
        if (got) {
            m.unlock();
        }
    }).join();
    return got;
}

} // namespace

TEST(Mutex, RecursionNeedsAsManyUnlocksAsLocks) {
    Mutex m;
    for (int i = 0; i < 3; ++i) {
        m.lock();
    }
    EXPECT_TRUE(m.tryLock()); // a fourth level, at once
    EXPECT_FALSE(tryLockElsewhere(m));
    for (int i = 0; i < 3; ++i) {
        m.unlock();
        EXPECT_FALSE(tryLockElsewhere(m)) << "after " << i + 1 << " unlocks";
    }
    m.unlock();
    EXPECT_TRUE(tryLockElsewhere(m));
}

TEST(Mutex, LockBlocksUntilTheHolderUnlocks) {
    Mutex m;
    m.lock();
    std::atomic<bool> got{false};
    std::thread other([&] {
        m.lock();
        got = true;
        m.unlock();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(got);
    m.unlock();
    EXPECT_TRUE(eventually([&] { return got.load(); }));
    other.join();
}

TEST(Mutex, ExcludesAcrossThreads) {
    Mutex m;
    long counter = 0; // guarded by m only
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                m.lock();
                m.lock();
                ++counter;
                m.unlock();
                m.unlock();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 4 * 5000);
}

TEST(Mutex, AttributeObjectLivesWhileMutexesLive) {
    ASSERT_EQ(Mutex::useCount(), 0);
    {
        auto first = std::make_unique<Mutex>();
        Mutex second;
        EXPECT_EQ(Mutex::useCount(), 2);
        first.reset();
        EXPECT_EQ(Mutex::useCount(), 1);
        second.lock();
        EXPECT_TRUE(second.tryLock());
        second.unlock();
        second.unlock();
        EXPECT_TRUE(tryLockElsewhere(second));
    }
    EXPECT_EQ(Mutex::useCount(), 0);
    // The next mutex sets the attribute object up afresh and is recursive again.
    Mutex again;
    EXPECT_EQ(Mutex::useCount(), 1);
    again.lock();
    EXPECT_TRUE(again.tryLock());
    EXPECT_FALSE(tryLockElsewhere(again));
    again.unlock();
    again.unlock();
    EXPECT_TRUE(tryLockElsewhere(again));
}

TEST(Mutex, ConstructionFromSeveralThreadsAtOnce) {
    std::atomic<int> notRecursive{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                Mutex m;
                m.lock();
                if (!m.tryLock()) {
                    ++notRecursive;
                } else {
                    m.unlock();
                }
                m.unlock();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(notRecursive, 0);
    EXPECT_EQ(Mutex::useCount(), 0);
}

TEST(Mutex, WorksWithTheStandardGuards) {
    Mutex a;
    Mutex b;
    {
        std::lock_guard<Mutex> guard(a);
        EXPECT_FALSE(tryLockElsewhere(a));
    }
    EXPECT_TRUE(tryLockElsewhere(a));
    {
        std::unique_lock<Mutex> held(a);
        bool ownsElsewhere = true;
        std::thread([&] {
            std::unique_lock<Mutex> attempt(a, std::try_to_lock);
            ownsElsewhere = attempt.owns_lock();
        }).join();
        EXPECT_FALSE(ownsElsewhere);
        held.unlock();
        EXPECT_TRUE(tryLockElsewhere(a));
    }
    {
        std::scoped_lock both(a, b);
        EXPECT_FALSE(tryLockElsewhere(a));
        EXPECT_FALSE(tryLockElsewhere(b));
    }
    EXPECT_TRUE(tryLockElsewhere(a));
    EXPECT_TRUE(tryLockElsewhere(b));
}

// A failing lock or unlock call reports nothing: no exception, no line.
TEST(Mutex, FailuresAreNotReported) {
    if (OstrelTest::threadSanitizerBuild) {
        GTEST_SKIP() << "its unlock interceptor reports the refused unlock as a misuse";
    }
    EXPECT_EQ(OstrelTest::runInChild([] {
                  Mutex mutex;
                  const std::string out = OstrelTest::captureStderr([&] {
                      ostrelFaultSet("pthread_mutex_lock:1:22,pthread_mutex_unlock:1:1");
                      mutex.lock();
                      mutex.unlock();
                      ostrelFaultSet(nullptr);
                  });
                  return out.empty() && mutex.tryLock() ? 0 : 1;
              }),
              0);
}
