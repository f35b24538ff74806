#include <Ostrel/Thread.h>

#include "fault/Fault.h"
#include "support/SpinThread.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

using Ostrel::Thread;
using OstrelTest::SpinThread;

namespace {

// Runs the given function as its body; the test ends and joins it before the function goes.
class FnThread : public Thread {
public:
    explicit FnThread(std::function<int()> fn) : body(std::move(fn)) {}
    ~FnThread() override {
        if (running) {
            (void)join();
        }
    }
    int main() override { return body(); }

private:
    std::function<int()> body;
};

std::string messageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Thread::Exception& e) {
        return e.what();
    }
    return "(no exception)";
}

} // namespace

TEST(ThreadTest, ExitCodesFromReturnExitAndCancellation) {
    FnThread returns([] { return 5; });
    returns.start();
    EXPECT_NE(returns.threadId, pthread_t(0));
    EXPECT_EQ(returns.join(), 5);
    EXPECT_EQ(returns.exitCode, 5);

    FnThread exits([]() -> int { Thread::exit(9); });
    exits.start();
    EXPECT_EQ(exits.join(), 9);

    FnThread negative([] { return -3; });
    negative.start();
    EXPECT_EQ(negative.join(), -3);

    SpinThread spin;
    spin.start();
    while (spin.spins.load() == 0) {
        Thread::yield();
    }
    spin.terminate(7);
    EXPECT_TRUE(spin.running);
    EXPECT_EQ(spin.join(), 7);
    EXPECT_FALSE(spin.running);
}

TEST(ThreadTest, ExitMinusOneReadsAsCancelled) {
    FnThread thread([]() -> int { Thread::exit(-1); });
    thread.exitCode = 42;
    thread.start();
    EXPECT_EQ(thread.join(), 42);
}

TEST(ThreadTest, StateErrors) {
    FnThread thread([] { return 1; });
    EXPECT_FALSE(thread.running);
    EXPECT_EQ(thread.threadId, pthread_t(0));
    EXPECT_EQ(messageOf([&] { thread.join(); }), "Thread doesn't run");
    EXPECT_EQ(messageOf([&] { thread.terminate(7); }), "Thread doesn't run");
    EXPECT_EQ(thread.exitCode, 7);

    thread.start();
    EXPECT_EQ(messageOf([&] { thread.start(); }), "Thread is already running");
    EXPECT_EQ(thread.join(), 1);
    EXPECT_EQ(messageOf([&] { thread.join(); }), "Thread doesn't run");

    // Started again after join.
    thread.start();
    EXPECT_EQ(thread.join(), 1);

    SpinThread spin;
    spin.start();
    spin.terminate(3);
    EXPECT_EQ(messageOf([&] { spin.start(); }), "Thread is already running");
    EXPECT_EQ(spin.join(), 3);
}

TEST(ThreadTest, DestructorJoins) {
    std::atomic<bool> done{false};
    {
        FnThread thread([&] {
            Thread::sleep(50);
            done = true;
            return 0;
        });
        thread.start();
    }
    EXPECT_TRUE(done);
}

TEST(ThreadTest, SelfAndSleepZero) {
    pthread_t inside = 0;
    FnThread thread([&] {
        inside = Thread::self();
        Thread::sleep(0);
        return 0;
    });
    thread.start();
    const pthread_t id = thread.threadId;
    thread.join();
    EXPECT_TRUE(pthread_equal(inside, id));
    EXPECT_TRUE(pthread_equal(Thread::self(), pthread_self()));
}

TEST(ThreadTest, SleepRestartsWithFullTimeAfterSignal) {
    const int code = OstrelTest::runInChild([] {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: poll fails with EINTR
        sigaction(SIGUSR1, &action, nullptr);
        const pthread_t sleeper = pthread_self();
        FnThread interrupter([&] {
            Thread::sleep(100);
            pthread_kill(sleeper, SIGUSR1);
            return 0;
        });
        const auto begin = std::chrono::steady_clock::now();
        interrupter.start();
        Thread::sleep(300);
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        interrupter.join();
        // Restarted with the full time at about 100 ms: about 400 ms in all.
        return elapsed >= std::chrono::milliseconds(390) ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

// Every failing call of the table, injected in a child: the message, then the state, then the
// object used again.
TEST(ThreadTest, SystemCallFailures) {
    struct Case {
        const char* rule;
        void (*call)(Thread&);
        std::string message;
        bool running; // afterwards
        bool collect; // a failed join left the thread for the test to collect
        // Under ThreadSanitizer: its pthread_create interceptor reaches the C library past the
        // shim, and its pthread_join interceptor gives the thread up before the call and cannot
        // take a refused join back.
        bool tsanSkips;
    };
    const auto error = [](int number) { return std::string(" - ") + std::strerror(number); };
    const Case cases[] = {
        {"pthread_create:1:11", [](Thread& t) { t.start(); }, "Cannot start thread", false, false,
         true},
        {"pthread_join:1:3",
         [](Thread& t) {
             t.start();
             t.join();
         },
         "Cannot join thread", false, true, true},
        {"pthread_cancel:1:3",
         [](Thread& t) {
             t.start();
             t.terminate(7);
         },
         "Cannot terminate thread", true, false, false},
        {"sched_yield:1:1", [](Thread&) { Thread::yield(); }, "Cannot yield " + error(EPERM), false,
         false, false},
        {"poll:1:12", [](Thread&) { Thread::sleep(5); }, "Cannot sleep" + error(ENOMEM), false,
         false, false},
        {"poll:1:4", [](Thread&) { Thread::sleep(5); }, "(no exception)", false, false, false},
    };
    for (const Case& c : cases) {
        if (OstrelTest::threadSanitizerBuild && c.tsanSkips) {
            continue;
        }
        EXPECT_EQ(OstrelTest::runInChild([&c] {
                      // Ends by exit, which leaves exitCode alone: terminate may write it.
                      FnThread thread([]() -> int { Thread::exit(3); });
                      ostrelFaultSet(c.rule);
                      const std::string message = messageOf([&] { c.call(thread); });
                      ostrelFaultSet(nullptr);
                      if (message != c.message || thread.running != c.running) {
                          std::fprintf(stderr, "got \"%s\"\n", message.c_str());
                          return 1;
                      }
                      if (c.collect) {
                          pthread_join(thread.threadId, nullptr);
                      }
                      if (thread.running) {
                          return thread.join() == 3 ? 0 : 2;
                      }
                      thread.start();
                      return thread.join() == 3 ? 0 : 3;
                  }),
                  0)
            << c.rule;
    }
}

TEST(ThreadTest, FirstConstructionFromTwoThreadsAtOnce) {
    const int code = OstrelTest::runInChild([] {
        std::atomic<int> go{0};
        auto construct = [](void* arg) -> void* {
            auto* flag = static_cast<std::atomic<int>*>(arg);
            flag->fetch_add(1);
            while (flag->load() < 2) {
            }
            FnThread thread([] { return 4; });
            thread.start();
            return reinterpret_cast<void*>(static_cast<intptr_t>(thread.join()));
        };
        pthread_t a;
        pthread_t b;
        pthread_create(&a, nullptr, construct, &go);
        pthread_create(&b, nullptr, construct, &go);
        void* ra = nullptr;
        void* rb = nullptr;
        pthread_join(a, &ra);
        pthread_join(b, &rb);
        int scope = 0;
        pthread_attr_getscope(&Thread::_attr, &scope);
        return ra == rb && reinterpret_cast<intptr_t>(ra) == 4 && Thread::_classInit &&
                       scope == PTHREAD_SCOPE_SYSTEM
                   ? 0
                   : 1;
    });
    EXPECT_EQ(code, 0);
}
