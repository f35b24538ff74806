#include <Ostrel/Semaphore.h>

#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using Ostrel::Semaphore;
using namespace std::chrono_literals;

namespace {

using OstrelTest::eventually;

} // namespace

// A down in another thread completes only after as many up calls as the start value needs.
TEST(Semaphore, DownWaitsForEnoughUps) {
    for (int start : {0, -2}) {
        SCOPED_TRACE(start);
        Semaphore s(start);
        std::atomic<bool> through{false};
        std::thread waiter([&] {
            s.down();
            through = true;
        });
        for (int i = start; i < 0; ++i) {
            std::this_thread::sleep_for(30ms);
            EXPECT_FALSE(through);
            s.up();
        }
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(through);
        s.up();
        const bool done = eventually([&] { return through.load(); });
        EXPECT_TRUE(done);
        if (!done) {
            s.up(); // release the waiter so that join cannot hang
        }
        waiter.join();
    }
}

TEST(Semaphore, UpsWithoutWaitersAreCounted) {
    Semaphore s(0);
    for (int i = 0; i < 3; ++i) {
        s.up();
    }
    for (int i = 0; i < 3; ++i) {
        s.down(); // each returns at once
    }
    std::atomic<bool> through{false};
    std::thread waiter([&] {
        s.down();
        through = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(through); // the fourth down waits
    s.up();
    EXPECT_TRUE(eventually([&] { return through.load(); }));
    waiter.join();
}

TEST(Semaphore, CountsExactlyUnderContention) {
    Semaphore s(0);
    Semaphore done(0);
    std::atomic<int> consumed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                s.down();
                ++consumed;
            }
            done.up();
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                s.up();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    done.down();
    done.down();
    EXPECT_EQ(consumed, 4000);
}
