// Threads, child processes and signals: Thread, Process, Signal, Command and TerminateRequest.
#include <Ostrel/Command.h>
#include <Ostrel/Process.h>
#include <Ostrel/Signal.h>
#include <Ostrel/TerminateRequest.h>
#include <Ostrel/Thread.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <climits>
#include <functional>

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

ExitStatus runShell(const std::string& script) {
    return Command("/bin/sh").arg("-c").arg("ulimit -c 0; " + script).start().wait();
}

TEST(Command, ExitStatusOfCodesAndSignals) {
    const std::tuple<const char*, bool, int, int, int> rows[] = {
        {"exit 0", true, 0, 0, 0},
        {"exit 3", true, 3, 0, 3},
        {"exit 255", true, 255, 0, 255},
        {"kill -TERM $$", false, 0, SIGTERM, 143},
        {"kill -KILL $$", false, 0, SIGKILL, 137},
        {"kill -SEGV $$", false, 0, SIGSEGV, 139}};
    for (const auto& [script, exited, code, signal, shell] : rows) {
        const ExitStatus status = runShell(script);
        EXPECT_EQ(std::make_tuple(status.exited, status.code, status.signal, status.coreDumped,
                                  status.shellCode()),
                  std::make_tuple(exited, code, signal, false, shell))
            << script;
    }
}

TEST(Command, StartErrorsCarryTheSystemText) {
    const OstrelTest::TempDir dir;
    dir.makeFile("plain", "#!/bin/sh\n");
    const std::tuple<std::string, bool, int> rows[] = {{"/nonexistent/program", false, ENOENT},
                                                       {dir.path, false, EACCES},
                                                       {dir.path + "/plain", false, EACCES},
                                                       {"no-such-program-here", true, ENOENT},
                                                       {"sh", false, ENOENT}};
    EXPECT_EQ(messageOf<Command::Exception>(
                  [] { Command("/bin/true").stdinFrom("/nonexistent/in").start(); }),
              withError("Cannot open file for child", ENOENT));
    if (OstrelTest::underValgrind()) {
        GTEST_SKIP() << "valgrind runs posix_spawn's clone as a fork: the exec error is lost";
    }
    for (const auto& [program, search, error] : rows) {
        int got = 0;
        EXPECT_EQ(messageOf<Command::Exception>([&, &program = program, &search = search] {
                      try {
                          Command(program).searchPath(search).start();
                      } catch (const Command::Exception& e) {
                          got = e.error();
                          throw;
                      }
                  }),
                  withError("Cannot run program", error))
            << program;
        EXPECT_EQ(got, error) << program;
    }
}

// Each row's child writes to a pipe; what the parent reads.
TEST(Command, StreamsEnvironmentDirectoryAndDescriptors) {
    const OstrelTest::TempDir dir;
    dir.makeFile("in", "from file\n");
    const int open = ::open("/dev/null", O_RDONLY); // not close-on-exec: must not reach the child
    const std::string fd = std::to_string(open), sh = "/bin/sh";
    const std::pair<Command, std::string> rows[] = {
        {Command(sh).args({"-c", "head -c 1048576 /dev/zero | tr '\\0' x"}),
         std::string(1048576, 'x')},
        {Command("sh")
             .searchPath(true)
             .args({"-c", "pwd; echo $A$B"})
             .directory("/")
             .env("A", "1")
             .env("B", "2")
             .unsetEnv("B"),
         "/\n1\n"},
        {Command("/usr/bin/env").env("X", "1").clearEnv().env("Y", "2"), "Y=2\n"},
        {Command("/bin/cat").stdinFrom(dir.path + "/in"), "from file\n"},
        {Command(sh)
             .args({"-c", "[ -e /dev/fd/" + fd + " ] || echo gone; read x; echo $x"})
             .stdinFrom(Command::Null)
             .stderrTo(Command::Null),
         "gone\n\n"}};
    for (const auto& [command, out] : rows) {
        Child child = Command(command).stdoutTo(Command::Pipe).start();
        EXPECT_EQ(child.readStdout(), out);
        EXPECT_EQ(child.wait().shellCode(), 0);
    }
    ::close(open);
    Child cat = Command("/bin/cat").stdinFrom(Command::Pipe).stdoutTo(dir.path + "/out").start();
    ASSERT_EQ(::write(cat.stdinFd(), "hi", 2), 2);
    cat.closeStdin();
    EXPECT_EQ(cat.wait().shellCode(), 0);
    EXPECT_EQ((std::stringstream() << std::ifstream(dir.path + "/out").rdbuf()).str(), "hi");
    // With the caller's standard input closed, the file opened for the child's output comes as
    // descriptor 0, which the child's /dev/null input must not replace.
    OstrelTest::inChild([&] {
        ::close(0);
        (void)Command("/bin/echo")
            .arg("hi")
            .stdinFrom(Command::Null)
            .stdoutTo(dir.path + "/echo")
            .start()
            .wait();
    });
    EXPECT_EQ((std::stringstream() << std::ifstream(dir.path + "/echo").rdbuf()).str(), "hi\n");
}

// True when pid has ended (gone, or a zombie its new parent has not reaped yet).
bool ended(const std::string& pid) {
    std::string state;
    std::ifstream("/proc/" + pid + "/stat") >> state >> state >> state;
    return state.empty() || state == "Z";
}

TEST(Child, WaitForKillGroupAndMove) {
    const OstrelTest::TempDir dir;
    Child child = Command("/bin/sh")
                      .args({"-c", "sleep 30 & echo $! >pid; wait"})
                      .directory(dir.path)
                      .newProcessGroup(true)
                      .start();
    EXPECT_FALSE(child.waitFor(0));
    std::string grandchild;
    ASSERT_TRUE(OstrelTest::eventually(
        [&] { return bool(std::ifstream(dir.path + "/pid") >> grandchild); }));
    Child moved = std::move(child);
    EXPECT_EQ(
        messageOf<Command::Exception>([&] { child.wait(); }), // NOLINT(bugprone-use-after-move)
        withError("Cannot wait for child", ECHILD));
    EXPECT_EQ(
        messageOf<Command::Exception>([&] { child.waitFor(0); }), // NOLINT(bugprone-use-after-move)
        withError("Cannot wait for child", ECHILD));
    moved.killGroup(SIGTERM);
    const auto status = moved.waitFor(10000);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->shellCode(), 143);
    EXPECT_EQ(moved.wait().shellCode(), 143);
    EXPECT_TRUE(OstrelTest::eventually([&] { return ended(grandchild); }));
    EXPECT_EQ(messageOf<Command::Exception>([&] { moved.kill(SIGTERM); }),
              withError("Cannot signal child", ESRCH));
    EXPECT_EQ(messageOf<Command::Exception>([] { Command("/bin/true").start().killGroup(9); }),
              "Child has no process group of its own");
}

// A Child that goes before its process ends closes its pipe and process descriptors and reaps it.
TEST(Child, DestructorLeavesNoZombieAndNoDescriptor) {
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = descriptors();
    pid_t pid = -1;
    {
        Child child = Command("/bin/sleep").arg("0.3").stdoutTo(Command::Pipe).start();
        pid = child.id();
        EXPECT_FALSE(child.waitFor(20)); // opens the process descriptor
    }
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(descriptors(), before);
}

// Signal dispositions belong to the process: in a child. Another process sends a storm of
// SIGTERM while a thread waits; each request is taken once and none is lost.
TEST(TerminateRequest, SigtermStormWakesTheWaiter) {
    OstrelTest::inChild([] {
        {
            TerminateRequest request;
            Signal::_the.addSignalHandler(Signal::Terminate, request);
            EXPECT_FALSE(request.waitFor(0));
            std::atomic<bool> woke{false};
            std::thread waiter([&] { woke = request.waitFor(20000); });
            EXPECT_EQ(runShell("for i in $(seq 200); do kill -TERM $PPID; done").shellCode(), 0);
            waiter.join();
            EXPECT_TRUE(woke);
            unsigned long taken = 1;
            while (request.waitFor(0)) {
                ++taken;
            }
            EXPECT_GE(request.count(), taken);
            EXPECT_TRUE(Signal::_the.handleSignal(Signal::Terminate));
            EXPECT_TRUE(request.waitFor(0));
        }
        EXPECT_EQ(Signal::_the.handler, nullptr);
        EXPECT_EQ(disposition(SIGTERM), SIG_DFL);
    });
}

// Waits without a limit, and a cancellation that comes while a destructor waits.

// ULONG_MAX milliseconds (some 585 million years) is no limit: the wait gives the real result
// when it comes, some 100 ms later, not at once.
TEST(NoLimit, ChildAndTerminateRequestWaitForWhatComes) {
    OstrelTest::inChild([] {
        const std::pair<const char*, std::function<bool()>> rows[] = {
            {"ChildWaitFor",
             [] {
                 Child child = Command("/bin/sleep").arg("0.1").start();
                 const auto status = child.waitFor(ULONG_MAX);
                 return status && status->shellCode() == 0;
             }},
            {"TerminateRequestWaitFor", [] {
                 TerminateRequest request;
                 Signal::_the.addSignalHandler(Signal::Terminate, request);
                 std::thread raiser([] {
                     std::this_thread::sleep_for(std::chrono::milliseconds(100));
                     kill(getpid(), SIGTERM);
                 });
                 const bool came = request.waitFor(ULONG_MAX);
                 raiser.join();
                 return came;
             }}};
        for (const auto& [name, wait] : rows) {
            bool result = false;
            EXPECT_GT(OstrelTest::millisecondsOf([&, &wait = wait] { result = wait(); }), 50)
                << name;
            EXPECT_TRUE(result) << name;
        }
    });
}

std::atomic<int> innerPhase{0};
int sleepAndMarkDone() {
    innerPhase = 1;
    Thread::sleep(200);
    innerPhase = 2;
    return 0;
}

// A thread cancelled while a destructor waits for its child or its thread ends with the code of
// terminate() once that wait is over: the child reaped, the other thread joined, nothing aborted.
TEST(Cancel, ADestructorFinishesItsWaitThenTheThreadEnds) {
    OstrelTest::inChild([] {
        pid_t child = -1;
        OstrelTest::SleepingThread reaper([&] {
            Process process;
            run(process, {"/bin/sleep", "0.2"}, false);
            child = process.childId();
        });
        reaper.terminate(7);
        EXPECT_EQ(reaper.join(), 7);
        EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        OstrelTest::SleepingThread joiner([] {
            FnThread inner(sleepAndMarkDone);
            inner.start();
            while (innerPhase == 0) { // busy: the body must not sleep before the destructor
                Thread::yield();
            }
        });
        joiner.terminate(7);
        EXPECT_EQ(joiner.join(), 7);
        EXPECT_EQ(innerPhase, 2);
    });
}

// joinFor of a thread that does not run; a start that the system refuses (a stack larger than
// the address space, in a child) leaves the object not running; the attributes are set up.
TEST(Thread, JoinForWithoutThreadAndARefusedStart) {
    FnThread thread(yieldSleepAndMark);
    EXPECT_TRUE(Thread::_classInit);
    EXPECT_EQ(messageOf<Thread::Exception>([&] { thread.joinFor(0); }), "Thread doesn't run");
    OstrelTest::inChild([&] {
        pthread_attr_setstacksize(&Thread::_attr, std::size_t{1} << 46);
        EXPECT_EQ(messageOf<Thread::Exception>([&] { thread.start(); }), "Cannot start thread");
        EXPECT_FALSE(thread.running);
    });
}

// A sleep beyond poll's int limit polls at most INT_MAX ms at a time, never a wrapped number.
TEST(Thread, LongSleepsPollInPieces) {
    for (const auto& [milliseconds, limit] :
         {std::pair{7UL, 7}, {(1UL << 32) + 5, INT_MAX}, {ULONG_MAX, INT_MAX}}) {
        const OstrelFault::Inject fault{{"poll", ENOMEM}};
        EXPECT_EQ(messageOf<Thread::Exception>([&] { Thread::sleep(milliseconds); }),
                  withError("Cannot sleep", ENOMEM));
        EXPECT_EQ(OstrelFault::lastPollTimeout(), limit) << milliseconds;
    }
}

} // namespace
