#include <Ostrel/RWLock.h>

#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

using Ostrel::RWLock;
using namespace std::chrono_literals;

namespace {

using OstrelTest::eventually;

// What tryReadLock and tryWriteLock return in another thread (each hold released at once).
struct Tries {
    bool read;
    bool write;
};

Tries triesElsewhere(RWLock& l) {
    Tries result{};
    std::thread([&] {
        result.read = l.tryReadLock();
        if (result.read) {
            l.unlock();
        }
        result.write = l.tryWriteLock();
        if (result.write) {
            l.unlock();
        }
    }).join();
    return result;
}

} // namespace

TEST(RWLock, TryOperationsByHolder) {
    struct Case {
        const char* held;
        bool read;
        bool write;
    };
    for (const Case& c :
         {Case{"nothing", true, true}, Case{"read", true, false}, Case{"write", false, false}}) {
        SCOPED_TRACE(c.held);
        RWLock l;
        if (c.held[0] == 'r') {
            l.readLock();
        } else if (c.held[0] == 'w') {
            l.writeLock();
        }
        const Tries t = triesElsewhere(l);
        EXPECT_EQ(t.read, c.read);
        EXPECT_EQ(t.write, c.write);
        if (c.held[0] != 'n') {
            l.unlock();
        }
        const Tries after = triesElsewhere(l);
        EXPECT_TRUE(after.read);
        EXPECT_TRUE(after.write);
    }
}

TEST(RWLock, WriterExcludesReadersAndReadersShare) {
    RWLock l;
    l.writeLock();
    std::atomic<int> readers{0};
    std::atomic<int> together{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            l.readLock();
            ++readers;
            // Stay until all three hold the read lock together (bounded).
            if (eventually([&] { return readers.load() == 3; }, 5000)) {
                ++together;
            }
            l.unlock();
        });
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(readers, 0);
    l.unlock();
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(together, 3);
}

TEST(RWLock, WritersExcludeEachOther) {
    RWLock l;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                l.writeLock();
                ++counter;
                l.unlock();
                l.readLock();
                long seen = counter;
                (void)seen;
                l.unlock();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 4 * 5000);
}

TEST(RWLock, AttributeObjectLivesWhileLocksLive) {
    ASSERT_EQ(RWLock::useCount(), 0);
    {
        auto first = std::make_unique<RWLock>();
        RWLock second;
        EXPECT_EQ(RWLock::useCount(), 2);
        first.reset();
        EXPECT_EQ(RWLock::useCount(), 1);
        second.writeLock();
        EXPECT_FALSE(triesElsewhere(second).read);
        second.unlock();
    }
    EXPECT_EQ(RWLock::useCount(), 0);
    RWLock again;
    EXPECT_EQ(RWLock::useCount(), 1);
    again.readLock();
    EXPECT_TRUE(triesElsewhere(again).read);
    again.unlock();

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                RWLock l;
                l.writeLock();
                l.unlock();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(RWLock::useCount(), 1);
}

TEST(RWLock, WorksWithTheStandardGuards) {
    RWLock l;
    {
        std::shared_lock<RWLock> reading(l);
        EXPECT_TRUE(reading.owns_lock());
        const Tries t = triesElsewhere(l);
        EXPECT_TRUE(t.read);
        EXPECT_FALSE(t.write);
        bool sharedElsewhere = false;
        std::thread([&] {
            std::shared_lock<RWLock> attempt(l, std::try_to_lock);
            sharedElsewhere = attempt.owns_lock();
        }).join();
        EXPECT_TRUE(sharedElsewhere);
    }
    {
        std::lock_guard<RWLock> writing(l);
        EXPECT_FALSE(triesElsewhere(l).read);
    }
    {
        std::unique_lock<RWLock> writing(l, std::try_to_lock);
        EXPECT_TRUE(writing.owns_lock());
        bool sharedElsewhere = true;
        std::thread([&] {
            std::shared_lock<RWLock> attempt(l, std::try_to_lock);
            sharedElsewhere = attempt.owns_lock();
        }).join();
        EXPECT_FALSE(sharedElsewhere);
    }
    {
        std::scoped_lock writing(l);
        EXPECT_FALSE(triesElsewhere(l).write);
    }
    EXPECT_TRUE(triesElsewhere(l).write);
}
