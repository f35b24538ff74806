#include <Ostrel/Event.h>

#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using Ostrel::Event;
using namespace std::chrono_literals;

namespace {

using OstrelTest::eventually;

constexpr bool Manual = true;
constexpr bool Automatic = false;

// Threads that each wait() once on an event and count their return.
class Waiters {
public:
    Waiters(Event& e, int n) : event(e) {
        for (int i = 0; i < n; ++i) {
            threads.emplace_back([this] {
                ++started;
                event.wait();
                ++woken;
            });
        }
        eventually([&] { return started.load() == n; });
        // Give every thread time to get from the count into the wait.
        std::this_thread::sleep_for(100ms);
    }
    // Sets the event until every waiter has returned, so that no join can hang.
    ~Waiters() {
        while (woken.load() < static_cast<int>(threads.size())) {
            event.set();
            std::this_thread::sleep_for(1ms);
        }
        for (auto& t : threads) {
            t.join();
        }
    }
    Waiters(const Waiters&) = delete;
    Waiters& operator=(const Waiters&) = delete;

    Event& event;
    std::atomic<int> started{0};
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
};

} // namespace

TEST(Event, ManualSetReleasesEveryWaiterAndStaysSet) {
    Event e(Manual, false);
    {
        Waiters w(e, 3);
        EXPECT_EQ(w.woken, 0);
        e.set();
        EXPECT_TRUE(eventually([&] { return w.woken.load() == 3; }));
    }
    e.wait();
    EXPECT_TRUE(e.wait(0));
    EXPECT_TRUE(e.wait(10));
    EXPECT_TRUE(e.test());
    EXPECT_TRUE(e.test());
    e.reset();
    EXPECT_FALSE(e.test());
    EXPECT_FALSE(e.wait(0));
}

TEST(Event, AutomaticSetLetsExactlyOneWaitThrough) {
    Event e(Automatic, false);
    e.set();
    e.wait(); // at once
    EXPECT_FALSE(e.wait(50));
    EXPECT_FALSE(e.test());

    e.set();
    EXPECT_TRUE(e.test());
    EXPECT_FALSE(e.test());

    e.set();
    EXPECT_TRUE(e.wait(0)); // clears the state on the way out
    EXPECT_FALSE(e.test());

    // A set with one waiter wakes it and leaves the event clear.
    {
        Waiters w(e, 1);
        e.set();
        EXPECT_TRUE(eventually([&] { return w.woken.load() == 1; }));
    }
    EXPECT_FALSE(e.test());
}

TEST(Event, AutomaticSetAndPulseWakeOneWaiterEach) {
    for (bool usePulse : {false, true}) {
        SCOPED_TRACE(usePulse ? "pulse" : "set");
        Event e(Automatic, false);
        Waiters w(e, 2);
        usePulse ? e.pulse() : e.set();
        EXPECT_TRUE(eventually([&] { return w.woken.load() >= 1; }));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(w.woken, 1);
        usePulse ? e.pulse() : e.set();
        EXPECT_TRUE(eventually([&] { return w.woken.load() == 2; }));
        EXPECT_FALSE(e.test());
    }
}

TEST(Event, PulseWithoutWaitersLeavesTheEventClear) {
    for (bool manual : {Manual, Automatic}) {
        for (bool initial : {false, true}) {
            SCOPED_TRACE(testing::Message() << "manual " << manual << " initial " << initial);
            Event e(manual, initial);
            e.pulse();
            EXPECT_FALSE(e.test());
            EXPECT_FALSE(e.wait(0));
        }
    }
}

TEST(Event, ManualPulseWakesEveryWaiterAndLeavesTheEventClear) {
    Event e(Manual, false);
    Waiters w(e, 2);
    e.pulse();
    EXPECT_TRUE(eventually([&] { return w.woken.load() == 2; }));
    EXPECT_FALSE(e.test());
}

TEST(Event, ResetClearsWithoutWaking) {
    for (bool manual : {Manual, Automatic}) {
        Event e(manual, true);
        e.reset();
        EXPECT_FALSE(e.test());
        EXPECT_FALSE(e.wait(0));
    }
}

TEST(Event, InitiallySignalled) {
    struct Case {
        bool manual;
        bool stateAfterWait;
    };
    for (const Case& c : {Case{Manual, true}, Case{Automatic, false}}) {
        SCOPED_TRACE(c.manual);
        Event e(c.manual, true);
        e.wait(); // at once
        EXPECT_EQ(e.test(), c.stateAfterWait);
    }
}

TEST(Event, TimedWaitWokenBySetReturnsTrue) {
    for (bool manual : {Manual, Automatic}) {
        SCOPED_TRACE(manual);
        Event e(manual, false);
        std::atomic<bool> result{false};
        std::atomic<bool> returned{false};
        std::thread waiter([&] {
            result = e.wait(20000);
            returned = true;
        });
        std::this_thread::sleep_for(100ms);
        e.set();
        EXPECT_TRUE(eventually([&] { return returned.load(); }));
        waiter.join();
        EXPECT_TRUE(result);
        EXPECT_EQ(e.test(), manual);
    }
}

TEST(Event, TimedWaitOnAClearEventWaitsItsWholeLimit) {
    Event e(Automatic, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(e.wait(0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(e.wait(1200));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // The deadline is on the wall clock with microsecond resolution; allow a millisecond.
    EXPECT_GE(elapsed, 1199ms);
    EXPECT_LT(elapsed, 10s);
}
