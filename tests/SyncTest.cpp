// Mutex, RWLock and SharedMutex (their lockable contract), Semaphore, Event, the clocks, and
// every timed operation of the library.
#include <Ostrel/Event.h>
#include <Ostrel/Locker.h>
#include <Ostrel/Mutex.h>
#include <Ostrel/RWLock.h>
#include <Ostrel/RobustMutex.h>
#include <Ostrel/Semaphore.h>
#include <Ostrel/SharedMutex.h>
#include <Ostrel/SharedSemaphore.h>
#include <Ostrel/Thread.h>
#include <Ostrel/Time.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <memory>
#include <mutex>
#include <shared_mutex>

using namespace Ostrel;
using namespace std::chrono_literals;

namespace {

// Whether another thread can take the lock now, with Guard (shared or not).
template <class Lock, class Guard = std::unique_lock<Lock>> bool freeElsewhere(Lock& lock) {
    bool got = false;
    std::thread([&] { got = Guard(lock, std::try_to_lock).owns_lock(); }).join();
    return got;
}

// A lock of the type; a SharedMutex under a fresh name.
template <class Lock> struct Named : OstrelTest::NamedObject, Lock {};
template <> struct Named<SharedMutex> : OstrelTest::NamedObject, SharedMutex {
    Named() : SharedMutex(c_str()) {}
};
template <> struct Named<RobustMutex> : OstrelTest::NamedObject, RobustMutex {
    Named() : RobustMutex(c_str()) {}
};
template <> struct Named<SharedSemaphore> : OstrelTest::NamedObject, SharedSemaphore {
    Named() : SharedSemaphore(c_str(), 0) {}
};

template <class Lock> class Lockable : public testing::Test {};
using LockTypes = testing::Types<Mutex, RWLock, SharedMutex, RobustMutex>;
TYPED_TEST_SUITE(Lockable, LockTypes);

// The holder excludes every other thread until it unlocks, silently. Mutex, SharedMutex and
// RobustMutex are recursive: free after as many unlocks as locks; the holder of a RWLock is
// refused.
TYPED_TEST(Lockable, ExcludesOtherThreadsUntilUnlocked) {
    constexpr bool recursive = !std::is_same_v<TypeParam, RWLock>;
    Named<TypeParam> lock;
    EXPECT_EQ(OstrelTest::captureStderr([&] {
                  lock.lock();
                  EXPECT_EQ(lock.try_lock(), recursive);
                  EXPECT_EQ(lock.try_lock(), recursive);
                  for (int i = 0; i < (recursive ? 3 : 1); ++i) {
                      EXPECT_FALSE(freeElsewhere(lock)) << "after " << i << " unlocks";
                      lock.unlock();
                  }
                  EXPECT_TRUE(freeElsewhere(lock));
                  {
                      const Locker<Named<TypeParam>> held(lock);
                      EXPECT_FALSE(freeElsewhere(lock));
                  }
                  EXPECT_TRUE(freeElsewhere(lock));
                  long counter = 0;
                  OstrelTest::runThreads(4, [&](int) {
                      for (int i = 0; i < 5000; ++i) {
                          const Locker<Named<TypeParam>> guard(lock);
                          ++counter;
                      }
                  });
                  EXPECT_EQ(counter, 4 * 5000);
              }),
              "");
}

TEST(RWLock, ReadersShare) {
    RWLock lock;
    {
        const ReadLocker reading(lock);
        EXPECT_TRUE((freeElsewhere<RWLock, std::shared_lock<RWLock>>(lock)));
        EXPECT_FALSE(freeElsewhere(lock));
    }
    EXPECT_TRUE(freeElsewhere(lock));
}

// The class-wide attribute objects live while objects do, whichever threads make them.
TEST(UseCount, FollowsTheMutexAndRWLockObjects) {
    {
        const Mutex mutex;
        const RWLock first, second;
        EXPECT_EQ(Mutex::useCount() * 10 + RWLock::useCount(), 12);
    }
    OstrelTest::runThreads(4, [](int) {
        for (int i = 0; i < 1000; ++i) {
            const Mutex mutex;
            const RWLock rwlock;
        }
    });
    EXPECT_EQ(Mutex::useCount() + RWLock::useCount(), 0);
}

// In a child: a down that never passes hangs only the child, which is then killed.
TEST(Semaphore, DownPassesOnlyWhileTheCountIsPositive) {
    OstrelTest::inChild(
        [] {
            Semaphore semaphore(-1);
            std::atomic<bool> passed{false};
            std::thread waiter([&] { semaphore.down(), passed = true; });
            semaphore.up();
            std::this_thread::sleep_for(100ms);
            EXPECT_FALSE(passed);
            semaphore.up();
            waiter.join();
        },
        10000);
}

// Threads that up and take through every way of taking leave the count where it started: each
// way changes the count under the mutex.
TEST(Semaphore, ConcurrentUpsAndDownsBalance) {
    Semaphore semaphore(0);
    OstrelTest::runThreads(4, [&](int thread) {
        for (int i = 0; i < 100000; ++i) {
            if (thread % 2 == 0) {
                semaphore.up();
            } else if (i % 2 == 0) {
                EXPECT_TRUE(semaphore.downFor(60000));
            } else {
                while (!semaphore.tryDown()) {
                }
            }
        }
    });
    EXPECT_FALSE(semaphore.tryDown());
    semaphore.up();
    EXPECT_EQ(semaphore.down(), 0);
    EXPECT_FALSE(semaphore.tryDown());
}

// One operation on an event in a state: what it returns, and the state that test() reads after.
using Operation = bool (*)(Event&);
const Operation set = [](Event& e) { return e.set() != 0; };
const Operation reset = [](Event& e) { return e.reset() != 0; };
const Operation pulse = [](Event& e) { return e.pulse() != 0; };
const Operation test = [](Event& e) { return e.test(); };
const Operation untimedWait = [](Event& e) { return e.wait() == 0; };
const Operation timedWait0 = [](Event& e) { return e.wait(0); };

TEST(Event, TransitionTable) {
    const std::tuple<const char*, bool, bool, Operation, bool, bool> rows[] = {
        // name, manual, signalled before, operation, returns, signalled after
        {"ManualSet", true, false, set, false, true},
        {"ManualReset", true, true, reset, false, false},
        {"ManualPulse", true, true, pulse, false, false},
        {"ManualTest", true, true, test, true, true},
        {"ManualWait", true, true, untimedWait, true, true},
        {"ManualTimedWait", true, true, timedWait0, true, true},
        {"ManualTimeOut", true, false, timedWait0, false, false},
        {"AutoSet", false, false, set, false, true},
        {"AutoPulse", false, true, pulse, false, false},
        {"AutoTest", false, true, test, true, false},
        {"AutoWait", false, true, untimedWait, true, false},
        {"AutoTimedWait", false, true, timedWait0, true, false}};
    for (const auto& [name, manual, before, operation, returns, after] : rows) {
        Event event(manual, before);
        EXPECT_EQ(operation(event), returns) << name;
        EXPECT_EQ(event.test(), after) << name;
    }
}

// A set wakes a waiting thread.
TEST(Event, SetWakesAWaiter) {
    Event event(false, false);
    std::thread waiter([&] { EXPECT_TRUE(event.wait(5000)); });
    std::this_thread::sleep_for(100ms);
    event.set();
    waiter.join();
}

// The wall clock, in seconds with whole microseconds; the monotonic clock of steady_clock.
TEST(Time, WallClockInWholeMicrosecondsAndMonotonicClock) {
    for (int i = 0; i < 100; ++i) {
        const double now = getSystemTime();
        const std::chrono::duration<double> clock =
            std::chrono::system_clock::now().time_since_epoch();
        EXPECT_NEAR(now, clock.count(), 1.0);
        EXPECT_NEAR(now * 1e6, std::round(now * 1e6), 0.4) << std::fixed << now;
        const std::chrono::duration<double> steady =
            std::chrono::steady_clock::now().time_since_epoch();
        EXPECT_NEAR(getMonotonicTime(), steady.count(), 0.1);
    }
}

// A timed operation, attempt(ms), on the test's thread. Another thread makes it unavailable with
// hold(), then calls disturb() (a wake-up that changes nothing) again and again; release() makes
// it available, there or on the test's thread after a success (unlock, or give a count or state).
struct Timed {
    const char* name;
    std::function<bool(unsigned long)> attempt;
    std::function<void()> hold, disturb, release;
};

template <class Lock, class Attempt, class Hold>
Timed lockRow(const char* name, Attempt attempt, Hold hold) {
    auto lock = std::make_shared<Named<Lock>>();
    return {name, [=](unsigned long ms) { return attempt(*lock, ms); }, [=] { hold(*lock); }, [] {},
            [=] { lock->unlock(); }};
}

template <class Object, class Attempt, class Give, class Disturb>
Timed giveRow(const char* name, std::shared_ptr<Object> object, Attempt attempt, Give give,
              Disturb disturb) {
    return {name, [=](unsigned long ms) { return attempt(*object, ms); }, [] {},
            [=] { disturb(*object); }, [=] { give(*object); }};
}

// A thread that ends with 3 once released; released while not running, it starts to end at once.
struct Waiter : Thread {
    int main() override { return done.waitFor(60000) ? 3 : -3; }
    void release() {
        if (!running) {
            start();
        }
        done.set();
    }
    ~Waiter() override { release(), join(); }
    Event done{true, false};
};
Timed joinRow() {
    auto thread = std::make_shared<Waiter>();
    return {"ThreadJoinFor", [=](unsigned long ms) { return thread->joinFor(ms) == 3; },
            [=] { thread->done.reset(), thread->start(); }, [] {}, [=] { thread->release(); }};
}

const auto downFor = [](auto& semaphore, unsigned long ms) { return semaphore.downFor(ms); };
const auto up = [](auto& semaphore) { semaphore.up(); };
const auto waitFor = [](Event& event, unsigned long ms) { return event.waitFor(ms); };
const auto tryLockFor = [](auto& lock, unsigned long ms) { return lock.tryLockFor(ms); };
const auto lockIt = [](auto& lock) { lock.lock(); };
const auto nothing = [](auto&) {};
// A limit for the std::chrono names: ULONG_MAX (no limit) as some 35 years.
const auto chrono = [](unsigned long ms) {
    return std::chrono::milliseconds(std::min(ms, 1UL << 40));
};

// Every timed operation: 0 tries once, 1 waits at least 1 ms; 200 ms pass (less than 2 s more,
// loaded) whatever the wall clock says (an hour back) and whatever wakes the waiter in vain (an
// event's pulses); another thread's matching operation ends the wait, also under a limit of
// ULONG_MAX (no limit); available, it returns at once.
TEST(Timed, TimesOutOnTheMonotonicClockAndTakesWhatComes) {
    using std::chrono::milliseconds;
    const Timed rows[] = {
        giveRow("SemaphoreDownFor", std::make_shared<Semaphore>(0), downFor, up, nothing),
        giveRow("ManualEventWaitFor", std::make_shared<Event>(true, false), waitFor, set, pulse),
        giveRow("AutoEventWaitFor", std::make_shared<Event>(false, false), waitFor, set, pulse),
        giveRow("SharedSemaphoreDownFor", std::make_shared<Named<SharedSemaphore>>(), downFor, up,
                nothing),
        lockRow<Mutex>("MutexTryLockFor", tryLockFor, lockIt),
        lockRow<Mutex>(
            "MutexTryLockUntilWallClock",
            [](Mutex& m, unsigned long ms) {
                return m.try_lock_until(std::chrono::system_clock::now() + chrono(ms));
            },
            lockIt),
        lockRow<RWLock>(
            "RWLockTryWriteLockFor",
            [](RWLock& l, unsigned long ms) { return l.tryWriteLockFor(ms); },
            [](RWLock& l) { l.readLock(); }),
        lockRow<RWLock>(
            "RWLockTryReadLockFor",
            [](RWLock& l, unsigned long ms) { return l.tryReadLockFor(ms); }, lockIt),
        lockRow<RWLock>(
            "RWLockTryLockSharedFor",
            [](RWLock& l, unsigned long ms) { return l.try_lock_shared_for(chrono(ms)); }, lockIt),
        lockRow<SharedMutex>("SharedMutexTryLockFor", tryLockFor, lockIt),
        lockRow<RobustMutex>("RobustMutexTryLockFor", tryLockFor, lockIt),
        joinRow()};
    for (const Timed& row : rows) {
        SCOPED_TRACE(row.name);
        std::atomic<bool> held{false}, go{false};
        std::thread other([&] {
            row.hold();
            held = true;
            while (!go) {
                row.disturb();
                std::this_thread::sleep_for(2ms);
            }
            std::this_thread::sleep_for(50ms);
            row.release();
        });
        OstrelTest::eventually([&] { return held.load(); });
        OstrelFault::shiftWallClock(-3600);
        EXPECT_FALSE(row.attempt(0));
        EXPECT_GE(OstrelTest::millisecondsOf([&] { EXPECT_FALSE(row.attempt(1)); }), 1);
        EXPECT_NEAR(OstrelTest::millisecondsOf([&] { EXPECT_FALSE(row.attempt(200)); }), 1100, 900);
        OstrelFault::shiftWallClock(0);
        go = true;
        EXPECT_LT(OstrelTest::millisecondsOf([&] { EXPECT_TRUE(row.attempt(ULONG_MAX)); }), 10000);
        other.join();
        row.release();
        EXPECT_TRUE(OstrelTest::eventually([&] { return row.attempt(0); }));
        row.release();
        EXPECT_LT(OstrelTest::millisecondsOf([&] { EXPECT_TRUE(row.attempt(20000)); }), 10000);
        row.release();
    }
}

// A std::chrono limit in whole milliseconds: rounded up, exactly, and ULONG_MAX at most.
TEST(Timed, ChronoLimitsRoundUpToWholeMilliseconds) {
    using namespace std::chrono;
    using detail::toMilliseconds;
    EXPECT_EQ(toMilliseconds(0ns), 0UL);
    EXPECT_EQ(toMilliseconds(-5ms), 0UL);
    EXPECT_EQ(toMilliseconds(1ns), 1UL);
    EXPECT_EQ(toMilliseconds(1000000ns), 1UL);
    EXPECT_EQ(toMilliseconds(1000001ns), 2UL);
    EXPECT_EQ(toMilliseconds(nanoseconds(9000000000000000001LL)), 9000000000001UL);
    EXPECT_EQ(toMilliseconds(2h), 7200000UL);
    EXPECT_EQ(toMilliseconds(hours::max()), ULONG_MAX);
    EXPECT_EQ(toMilliseconds(hours(ULONG_MAX / 3600000)), ULONG_MAX / 3600000 * 3600000);
    EXPECT_EQ(toMilliseconds(duration<double>(0.0015)), 2UL);
    EXPECT_EQ(toMilliseconds(duration<double>(0.25)), 250UL);
    EXPECT_EQ(toMilliseconds(duration<double>(1e300)), ULONG_MAX);
    EXPECT_EQ(toMilliseconds(duration<double>(std::nan(""))), 0UL);
}

std::atomic<long> spins{0};

// A Thread cancelled while it sleeps in a wait ends with the code of terminate(), and the object
// goes on working for the others; a wait that ends normally gives the body its asynchronous
// cancellation back (a body that spins after it is cancelled at once). In a child: a
// cancellation that met a noexcept boundary aborted the whole program.
TEST(Cancel, AWaitingThreadEndsWithItsCodeAndLeavesTheObjectUsable) {
    OstrelTest::inChild([] {
        Semaphore semaphore(0);
        Event event(false, false);
        Named<SharedSemaphore> shared;
        const auto semaphoreUp = [&] { semaphore.up(); };
        const auto eventSet = [&] { event.set(); };
        const auto sharedUp = [&] { shared.up(); };
        const std::tuple<const char*, std::function<void()>, std::function<void()>,
                         std::function<bool()>>
            rows[] = {
                {"SemaphoreDown", [&] { semaphore.down(); }, semaphoreUp,
                 [&] { return semaphore.downFor(1000); }},
                {"SemaphoreDownFor", [&] { semaphore.downFor(60000); }, semaphoreUp,
                 [&] { return semaphore.downFor(1000); }},
                {"EventWait", [&] { event.wait(); }, eventSet, [&] { return event.waitFor(1000); }},
                {"EventWaitWallClock", [&] { event.wait(60000); }, eventSet,
                 [&] { return event.waitFor(1000); }},
                {"EventWaitFor", [&] { event.waitFor(60000); }, eventSet,
                 [&] { return event.waitFor(1000); }},
                {"SharedSemaphoreDown", [&] { shared.down(); }, sharedUp,
                 [&] { return shared.downFor(1000); }},
                {"SharedSemaphoreDownFor", [&] { shared.downFor(60000); }, sharedUp,
                 [&] { return shared.downFor(1000); }}};
        for (const auto& [name, wait, give, take] : rows) {
            SCOPED_TRACE(name);
            OstrelTest::SleepingThread waiting(wait);
            waiting.terminate(7);
            EXPECT_EQ(waiting.join(), 7);
            give();
            EXPECT_TRUE(take());
            std::atomic<bool> woke{false};
            OstrelTest::SleepingThread spinning([&, &wait = wait] {
                wait();
                woke = true;
                for (;;) {
                    spins.fetch_add(1, std::memory_order_relaxed);
                }
            });
            give();
            EXPECT_TRUE(OstrelTest::eventually([&] { return woke.load(); }));
            spinning.terminate(8);
            EXPECT_EQ(spinning.join(), 8);
        }
    });
}

} // namespace
