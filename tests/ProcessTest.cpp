// Threads, child processes and signals: Thread, Process and Signal.
#include <Ostrel/Process.h>
#include <Ostrel/Signal.h>
#include <Ostrel/Thread.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include <sys/wait.h>

using namespace Ostrel;
using OstrelTest::messageOf;
using OstrelTest::withError;

namespace {

// Runs fn as its body; the destructor of Thread joins it.
struct FnThread : Thread {
    explicit FnThread(int (*fn)()) : body(fn) {}
    int main() override { return body(); }
    int (*const body)();
};

std::atomic<int> phase{0};

// Spins without locks, allocation or locals: asynchronous cancellation is safe at any point.
std::atomic<long> spins{0};
int spin() {
    for (;;) {
        spins.fetch_add(1, std::memory_order_relaxed);
    }
}

int yieldSleepAndMark() {
    phase = 1;
    Thread::yield();
    Thread::sleep(50);
    return phase = 2;
}

// In a child: a terminate that did not cancel at once would make the join hang.
TEST(Thread, JoinGivesTheCodeOfReturnExitOrTerminate) {
    OstrelTest::inChild(
        [] {
            FnThread thread(yieldSleepAndMark);
            EXPECT_EQ(thread.threadId, pthread_t{});
            EXPECT_EQ(messageOf<Thread::Exception>([&] { thread.join(); }), "Thread doesn't run");
            EXPECT_EQ(messageOf<Thread::Exception>([&] { thread.terminate(7); }),
                      "Thread doesn't run");
            thread.start();
            EXPECT_EQ(messageOf<Thread::Exception>([&] { thread.start(); }),
                      "Thread is already running");
            EXPECT_EQ(thread.join(), 2);
            FnThread exits([]() -> int { Thread::exit(9); });
            exits.start();
            EXPECT_EQ(exits.join(), 9);
            FnThread spinner(spin);
            spinner.start();
            Thread::sleep(20);
            spinner.terminate(7);
            EXPECT_EQ(spinner.join(), 7);
            {
                FnThread left(yieldSleepAndMark); // started, then destroyed: its destructor joins
                left.start();
                OstrelTest::eventually([] { return phase == 1; });
            }
            EXPECT_EQ(phase, 2);
        },
        10000);
}

// The calling thread gets the name, cut to the system's 15 bytes.
TEST(Thread, SetNameNamesTheCallingThread) {
    std::thread([] {
        Thread::setName("ostrel-worker-0123");
        char name[32] = "";
        pthread_getname_np(pthread_self(), name, sizeof name);
        EXPECT_STREQ(name, "ostrel-worker-0");
    }).join();
}

// A failing call and its message.
struct Failure {
    const char* name;
    OstrelFault::Rule rule;
    void (*call)();
    std::string message;
};

class ThreadFailure : public testing::TestWithParam<Failure> {};

TEST_P(ThreadFailure, ThrowsItsMessage) {
    const OstrelFault::Inject fault{GetParam().rule};
    EXPECT_EQ(messageOf<Thread::Exception>(GetParam().call), GetParam().message);
}

void sleep5() {
    Thread::sleep(5);
}
const Failure failures[] = {
    {"YieldFails", {"sched_yield", EPERM}, Thread::yield, withError("Cannot yield ", EPERM)},
    {"SleepFails", {"poll", ENOMEM}, sleep5, withError("Cannot sleep", ENOMEM)},
    {"SleepInterruptedGoesOn", {"poll", EINTR}, sleep5, "(nothing thrown)"}};
INSTANTIATE_TEST_SUITE_P(Thread, ThreadFailure, testing::ValuesIn(failures), OstrelTest::RowName());

// Starts the program of words; its join() when wait.
int run(Process& process, std::vector<std::string> words, bool wait = true) {
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    process.start(argv.data());
    return wait ? process.join() : 0;
}

// A program not found (PATH is not searched) exits 255; a child ended by a signal gives the code
// of the last terminate(), 0 before any; failures carry the system's text.
TEST(Process, JoinGivesTheExitCode) {
    Process process;
    EXPECT_EQ(run(process, {"/bin/sh", "-c", "exit 3"}), 3);
    EXPECT_EQ(run(process, {"true"}), 255);
    EXPECT_EQ(run(process, {"/bin/sh", "-c", "kill -9 $$"}), 0);
    EXPECT_EQ(messageOf<Process::Exception>([&] { process.terminate(7); }), "Process doesn't run");
    EXPECT_EQ(messageOf<Process::Exception>([&] { process.join(); }), "Process doesn't run");
    EXPECT_EQ(run(process, {"/bin/sh", "-c", "kill -9 $$"}), 7);
    run(process, {"/bin/true"}, false);
    ASSERT_EQ(waitpid(process.childId(), nullptr, 0), process.childId()); // behind its back
    EXPECT_EQ(messageOf<Process::Exception>([&] { process.terminate(3); }),
              withError("Cannot terminate process", ESRCH));
    EXPECT_EQ(messageOf<Process::Exception>([&] { process.join(); }),
              withError("Cannot join process", ECHILD));
}

TEST(Process, TerminateKillsAndTheDestructorCollects) {
    pid_t child = -1;
    {
        Process process;
        run(process, {"/bin/sleep", "30"}, false);
        child = process.childId();
        EXPECT_EQ(messageOf<Process::Exception>([&] { run(process, {"/bin/true"}); }),
                  "Process is already running");
        process.terminate(1);
        EXPECT_EQ(process.join(), 1);
        EXPECT_EQ(process.childId(), -1);
        run(process, {"/bin/sleep", "0.2"}, false);
        child = process.childId();
    }
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// Counts the calls for Terminate once, and those for any other type a hundred times.
struct Counter : Signal::SignalHandler {
    void signalReceived(Signal::SignalType type) override {
        count = count + (type == Signal::Terminate ? 1 : 100);
    }
    volatile std::sig_atomic_t count = 0;
};

void own(int) {}

sighandler_t disposition(int number) {
    struct sigaction action {};
    sigaction(number, nullptr, &action);
    return action.sa_handler;
}

// Signal dispositions belong to the process: changed in a child only.
TEST(Signal, HandlerReceivesSigintAndSigtermUntilRemoved) {
    OstrelTest::inChild([] {
        Signal& dispatcher = Signal::_the;
        const auto otherType = static_cast<Signal::SignalType>(1);
        Counter counter, second;
        signal(SIGINT, own);
        EXPECT_FALSE(dispatcher.handleSignal(Signal::Terminate));
        dispatcher.addSignalHandler(otherType, counter);
        EXPECT_EQ(dispatcher.handler, nullptr);
        dispatcher.addSignalHandler(Signal::Terminate, counter);
        EXPECT_EQ(OstrelTest::captureStderr(
                      [&] { dispatcher.addSignalHandler(Signal::Terminate, second); }),
                  "Signal: addSignalHandler refused: a handler is already registered\n");
        EXPECT_EQ(dispatcher.oldIntHandler, own);
        EXPECT_EQ(dispatcher.oldTermHandler, SIG_DFL);
        raise(SIGINT);
        raise(SIGTERM);
        EXPECT_TRUE(dispatcher.handleSignal(Signal::Terminate));
        EXPECT_FALSE(dispatcher.handleSignal(otherType));
        EXPECT_EQ(counter.count, 3);
        dispatcher.removeSignalHandler(otherType);
        EXPECT_EQ(dispatcher.handler, &counter);
        dispatcher.removeSignalHandler(Signal::Terminate);
        EXPECT_FALSE(dispatcher.handleSignal(Signal::Terminate));
        EXPECT_EQ(disposition(SIGINT), own);
        EXPECT_EQ(disposition(SIGTERM), SIG_DFL);
        // A dispatcher that goes puts back what it replaced, as it was at the registration.
        signal(SIGTERM, SIG_IGN);
        {
            Signal local;
            local.addSignalHandler(Signal::Terminate, counter);
            EXPECT_NE(disposition(SIGTERM), SIG_IGN);
        }
        EXPECT_EQ(disposition(SIGTERM), SIG_IGN);
    });
}

} // namespace
