// Threads, child processes and signals: Thread, Process, Signal, Command, TerminateRequest and
// SignalSet.
#include <Ostrel/Command.h>
#include <Ostrel/Process.h>
#include <Ostrel/Signal.h>
#include <Ostrel/SignalSet.h>
#include <Ostrel/TerminateRequest.h>
#include <Ostrel/Thread.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <functional>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
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

// Command starts through posix_spawn, or through its own launcher when the parent-death signal is
// asked for: each row runs on both roads.
const std::pair<const char*, int> roads[] = {{"posix_spawn", 0}, {"launcher", SIGKILL}};

// Misuse refused at once; then each row's start fails with the text and the error number.
TEST(Command, StartErrorsCarryTheSystemText) {
    const OstrelTest::TempDir dir;
    dir.makeFile("plain", "#!/bin/sh\n");
    Command command("/bin/true");
    const std::pair<std::function<void()>, std::string> refused[] = {
        {[&] { command.env("", "x"); }, withError("Invalid environment variable name", EINVAL)},
        {[&] { command.env("A=B", "x"); }, withError("Invalid environment variable name", EINVAL)},
        {[&] { command.unsetEnv(std::string("A\0B", 3)); },
         withError("Invalid environment variable name", EINVAL)},
        {[&] { command.unsetEnv(""); }, withError("Invalid environment variable name", EINVAL)},
        {[&] { command.stdinFrom(Command::ToStdout); },
         withError("Only standard error can go to standard output", EINVAL)},
        {[&] { command.stdoutTo(Command::ToStdout); },
         withError("Only standard error can go to standard output", EINVAL)},
        {[&] { command.passFd(0, 2); }, withError("Cannot pass descriptor to child", EINVAL)},
        {[&] { command.dieWithParent(-1); }, withError("Invalid signal number", EINVAL)},
        {[&] { command.dieWithParent(65); }, withError("Invalid signal number", EINVAL)}};
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(messageOf<Command::Exception>(call), message);
    }
    EXPECT_EQ(command.start().wait().shellCode(), 0); // nothing of the refused calls stayed
    const std::tuple<Command, const char*, int> rows[] = {
        {Command("/nonexistent/program"), "Cannot run program", ENOENT},
        {Command(dir.path), "Cannot run program", EACCES},
        {Command(dir.path + "/plain"), "Cannot run program", EACCES},
        {Command("no-such-program-here").searchPath(true), "Cannot run program", ENOENT},
        {Command("sh"), "Cannot run program", ENOENT},
        {Command("/bin/true").stdinFrom("/nonexistent/in"), "Cannot open file for child", ENOENT},
        {Command("/bin/true").passFd(1000, 5), "Cannot pass descriptor to child", EBADF},
        {Command("/bin/true").passFd(1, INT_MAX), "Cannot pass descriptor to child", EINVAL},
        {Command("/bin/true").directory("/nonexistent"), "Cannot enter directory for child",
         ENOENT},
        {Command("/bin/true").directory(dir.path + "/plain"), "Cannot enter directory for child",
         ENOTDIR}};
    for (const auto& [road, signal] : roads) {
        if (signal == 0 && OstrelTest::underValgrind()) {
            continue; // valgrind runs posix_spawn's clone as a fork: the exec error is lost
        }
        for (const auto& [base, text, error] : rows) {
            int got = 0;
            EXPECT_EQ(messageOf<Command::Exception>([&, &base = base, signal = signal] {
                          try {
                              Command(base).dieWithParent(signal).start();
                          } catch (const Command::Exception& e) {
                              got = e.error();
                              throw;
                          }
                      }),
                      withError(text, error))
                << road << " " << text;
            EXPECT_EQ(got, error) << road << " " << text;
        }
    }
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1); // every child that failed was reaped
}

// A PATH search goes on after a file it may not run (EACCES wins if nothing else is found) and
// stops at one it cannot run otherwise (ENOEXEC: no "#!"), as posix_spawnp does. The
// environment belongs to the process: in a child.
TEST(Command, SearchGoesOnOnlyPastMissingOrForbiddenFiles) {
    const OstrelTest::TempDir dir;
    dir.makeFile("denied/true");
    dir.makeFile("script/true", "exit 3\n");
    ::chmod((dir.path + "/script/true").c_str(), 0755);
    const std::string denied = dir.path + "/denied", script = dir.path + "/script";
    OstrelTest::inChild([&] {
        const std::pair<std::string, std::string> rows[] = {
            {denied + ":/bin:/usr/bin", "(nothing thrown)"},
            {denied + ":/nonexistent", withError("Cannot run program", EACCES)},
            {script + ":/bin:/usr/bin", withError("Cannot run program", ENOEXEC)},
            {denied + ":" + script + ":/bin", withError("Cannot run program", ENOEXEC)}};
        for (const auto& [road, signal] : roads) {
            if (signal == 0 && OstrelTest::underValgrind()) {
                continue; // the exec error of posix_spawn is lost there
            }
            for (const auto& [path, message] : rows) {
                ::setenv("PATH", path.c_str(), 1);
                EXPECT_EQ(messageOf<Command::Exception>([signal = signal] {
                              Command("true").searchPath(true).dieWithParent(signal).start();
                          }),
                          message)
                    << road << " " << path;
            }
        }
    });
}

// Each row's child writes to a pipe; what the parent reads, on both roads.
TEST(Command, StreamsEnvironmentDirectoryAndDescriptors) {
    const OstrelTest::TempDir dir;
    dir.makeFile("in", "from file\n");
    const int open = ::open("/dev/null", O_RDONLY); // not close-on-exec: must not reach the child
    const std::string fd = std::to_string(open), sh = "/bin/sh";
    Child env = Command("/usr/bin/env").stdoutTo(Command::Pipe).start(); // environ as it is
    const std::string callerEnvironment = env.readStdout();
    for (const auto& [road, signal] : roads) {
        // Two pipes passed crosswise: each lands on the number of the other's parent end.
        int a[2], b[2];
        ASSERT_EQ(::pipe(a) | ::pipe(b), 0);
        ASSERT_EQ(::write(a[1], "A", 1) + ::write(b[1], "B", 1), 2);
        ::close(a[1]);
        ::close(b[1]);
        const std::string fromA = std::to_string(b[0]), fromB = std::to_string(a[0]);
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
            {Command("/usr/bin/env").unsetEnv("OSTREL_NOT_SET"), callerEnvironment},
            {Command("/bin/cat").stdinFrom(dir.path + "/in"), "from file\n"},
            {Command(sh)
                 .args({"-c", "[ -e /dev/fd/" + fd + " ] || echo gone; cat && echo >&2 && echo ok"})
                 .stdinFrom(Command::Null)
                 .stderrTo(Command::Null),
             "gone\nok\n"},
            {Command(sh).args({"-c", "[ -e /dev/fd/3 ] && echo three"}).passFd(open, 3), "three\n"},
            {Command(sh).args({"-c", "echo out; echo err >&2"}).stderrTo(Command::ToStdout),
             "out\nerr\n"},
            {Command(sh)
                 .args({"-c", "cat <&" + fromA + "; cat <&" + fromB})
                 .passFd(a[0], b[0])
                 .passFd(b[0], a[0]),
             "AB"}};
        for (const auto& [command, out] : rows) {
            Child child = Command(command).stdoutTo(Command::Pipe).dieWithParent(signal).start();
            EXPECT_EQ(child.stderrFd(), -1);
            EXPECT_EQ(child.readStdout(), out) << road;
            EXPECT_EQ(child.wait().shellCode(), 0) << road;
        }
        ::close(a[0]);
        ::close(b[0]);
    }
    ::close(open);
    dir.makeFile("out", "longer than two bytes");
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
                      .stdinFrom(Command::Pipe)
                      .start();
    EXPECT_FALSE(child.waitFor(0));
    std::string grandchild;
    ASSERT_TRUE(OstrelTest::eventually(
        [&] { return bool(std::ifstream(dir.path + "/pid") >> grandchild); }));
    const int pipeEnd = child.stdinFd(), pidFd = child.pidFd();
    Child moved = std::move(child);
    EXPECT_EQ(std::make_tuple(child.id(), child.stdinFd(), child.pidFd()), // NOLINT
              std::make_tuple(-1, -1, -1));
    EXPECT_EQ(std::make_pair(moved.stdinFd(), moved.pidFd()), std::make_pair(pipeEnd, pidFd));
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
    Child third = Command("/bin/true").start();
    third = std::move(moved); // a waited-for child moves on too: moved owns nothing
    EXPECT_EQ(
        messageOf<Command::Exception>([&] { moved.wait(); }), // NOLINT(bugprone-use-after-move)
        withError("Cannot wait for child", ECHILD));
    EXPECT_EQ(third.wait().shellCode(), 143);
    EXPECT_TRUE(OstrelTest::eventually([&] { return ended(grandchild); }));
    EXPECT_EQ(messageOf<Command::Exception>([&] { moved.kill(SIGTERM); }),
              withError("Cannot signal child", ESRCH));
    EXPECT_EQ(messageOf<Command::Exception>([] { Command("/bin/true").start().killGroup(9); }),
              "Child has no process group of its own");
}

// A read that fails, and a child reaped behind the Child's back: the texts of those failures.
TEST(Child, FailuresCarryTheirTexts) {
    Child child = Command("/bin/sleep").arg("10").stdoutTo(Command::Pipe).start();
    ASSERT_EQ(::fcntl(child.stdoutFd(), F_SETFL, O_NONBLOCK), 0); // nothing written: EAGAIN
    EXPECT_EQ(messageOf<Command::Exception>([&] { child.readStdout(); }),
              withError("Cannot read from child", EAGAIN));
    child.kill(SIGKILL);
    ASSERT_EQ(::waitpid(child.id(), nullptr, 0), child.id());
    EXPECT_EQ(messageOf<Command::Exception>([&] { child.waitFor(1000); }),
              withError("Cannot wait for child", ECHILD));
    EXPECT_EQ(messageOf<Command::Exception>([&] { child.wait(); }),
              withError("Cannot wait for child", ECHILD));
}

// A Child that goes before its process ends closes its pipe and process descriptors and reaps it.
TEST(Child, DestructorLeavesNoZombieAndNoDescriptor) {
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = descriptors();
    pid_t pid = -1;
    {
        Child child = Command("/bin/sleep")
                          .arg("0.3")
                          .stdinFrom(Command::Pipe)
                          .stdoutTo(Command::Pipe)
                          .stderrTo(Command::Pipe)
                          .start();
        pid = child.id();
        EXPECT_FALSE(child.waitFor(20));
    }
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(descriptors(), before);
}

// A talk through all three pipes with a shell script in a process group of its own, which is
// killed afterwards (some rows leave a descendant behind).
struct Talk {
    std::string name;
    const char* script;
    unsigned long limit; // ULONG_MAX: communicate()
    std::string input;
    std::string out;
    std::string err;
    std::size_t inputWritten;
    int shellCode;
    bool timedOut;
};
using ChildTalk = testing::TestWithParam<Talk>;

TEST_P(ChildTalk, CollectsWhatTheChildWroteAndHowItEnded) {
    const Talk& row = GetParam();
    Child child = Command("/bin/sh")
                      .args({"-c", row.script})
                      .newProcessGroup(true)
                      .stdinFrom(Command::Pipe)
                      .stdoutTo(Command::Pipe)
                      .stderrTo(Command::Pipe)
                      .start();
    Child::Output output;
    const double ms = OstrelTest::millisecondsOf([&] {
        output = row.limit == ULONG_MAX ? child.communicate(row.input)
                                        : child.communicateFor(row.limit, row.input);
    });
    (void)::kill(-child.id(), SIGKILL);
    EXPECT_EQ(std::make_tuple(output.out.size(), output.err.size(), output.inputWritten,
                              output.status.shellCode(), output.timedOut),
              std::make_tuple(row.out.size(), row.err.size(), row.inputWritten, row.shellCode,
                              row.timedOut));
    EXPECT_TRUE(output.out == row.out && output.err == row.err) << output.out.substr(0, 80);
    EXPECT_EQ(child.stdinFd() + child.stdoutFd() + child.stderrFd(), -3);
    if (row.timedOut) {
        EXPECT_GE(ms, static_cast<double>(row.limit) - 1);
        EXPECT_LT(ms, static_cast<double>(row.limit) + 2000); // the descendant sleeps 30 s
    }
}

const std::string mebibyte(std::size_t{1} << 20, 'x');
const Talk talks[] = {
    {"MebibyteOnEachStreamWithoutDeadlock", "head -c 1048576 /dev/zero | tr '\\0' e >&2; cat",
     ULONG_MAX, mebibyte, mebibyte, std::string(mebibyte.size(), 'e'), mebibyte.size(), 0, false},
    {"ChildExitingWithoutReadingTakesNothing", "exit 3", ULONG_MAX, mebibyte, "", "", 0, 3, false},
    {"ChildReadingOneLineTakesOnlyThatLine", "read x; echo $x", ULONG_MAX, "abc\n" + mebibyte,
     "abc\n", "", 4, 0, false},
    {"EmptyInputClosesThePipeAtOnce", "cat; echo done >&2", ULONG_MAX, "", "", "done\n", 0, 0,
     false},
    {"GrandchildHoldingThePipeDoesNotStretchTheLimit", "sleep 30 & echo hi", 500, "", "hi\n", "", 0,
     0, true},
    {"ChildRunningAtTheLimitIsKilledAndItsOutputKept", "echo hi; cat >/dev/null; exec sleep 30",
     300, mebibyte, "hi\n", "", mebibyte.size(), 137, true},
    {"ZeroLimitKillsAChildStillRunning", "exec sleep 30", 0, "", "", "", 0, 137, true}};
INSTANTIATE_TEST_SUITE_P(Child, ChildTalk, testing::ValuesIn(talks), OstrelTest::RowName());

// The caller's SIGPIPE, blocked or not, pending or not, is as it was after a write to a child
// that has exited: the process lives and no SIGPIPE is left to it or taken from it.
TEST(Child, CommunicateLeavesTheCallersSigpipeAsItWas) {
    const auto sigpipe = [] {
        sigset_t blocked, pending;
        (void)pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        (void)sigpending(&pending);
        return std::make_tuple(disposition(SIGPIPE) == SIG_DFL, sigismember(&blocked, SIGPIPE),
                               sigismember(&pending, SIGPIPE));
    };
    for (const auto& [block, raise] : {std::pair{false, false}, {true, false}, {true, true}}) {
        OstrelTest::inChild([&, block = block, raise = raise] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            (void)pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
            if (raise) {
                (void)::raise(SIGPIPE);
            }
            const auto before = sigpipe();
            Child child = Command("/bin/true").stdinFrom(Command::Pipe).start();
            EXPECT_EQ(child.communicate(mebibyte).inputWritten, 0U);
            EXPECT_EQ(sigpipe(), before);
        });
    }
}

// The talk runs in the calling thread: the child counts its parent's threads meanwhile.
TEST(Child, CommunicateStartsNoThreadAndReportsMisuse) {
    const auto threads = std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
    Child moved = Command("/bin/sh")
                      .args({"-c", "ls /proc/$PPID/task | wc -l"})
                      .stdoutTo(Command::Pipe)
                      .start();
    Child count = std::move(moved);
    EXPECT_EQ(messageOf<Command::Exception>(
                  [&] { moved.communicate(); }), // NOLINT(bugprone-use-after-move)
              withError("Cannot wait for child", ECHILD));
    EXPECT_EQ(std::stol(count.communicate().out), threads);
    EXPECT_EQ(count.communicate().status.code, 0); // a second call: the status again
    EXPECT_EQ(messageOf<Command::Exception>([&] { count.communicate("x"); }),
              "Child has no input pipe");
    Child cat = Command("/bin/cat").stdinFrom(Command::Pipe).stdoutTo(Command::Pipe).start();
    {
        const OstrelFault::Inject failing({{"poll", ENOMEM, 2}}); // after "hi" is written
        EXPECT_EQ(messageOf<Command::Exception>([&] { cat.communicate("hi"); }),
                  withError("Cannot wait for child", ENOMEM));
    }
    const OstrelFault::Inject interrupted({{"poll", EINTR, 1}});
    EXPECT_EQ(cat.communicateFor(10000).out, "hi"); // the rest of the talk, to end of file
}

// Without a process descriptor (no such call, a seccomp filter, no descriptor left) a Child still
// waits within its limit; with one, pidFd() is readable once the child has ended.
TEST(Child, WaitForFallsBackWithoutProcessDescriptor) {
    for (const int error : {0, ENOSYS, EPERM, EMFILE, ENFILE}) {
        const OstrelFault::Inject fault{{"pidfd_open", error}}; // 0: the call goes through
        Child child = Command("/bin/sleep").arg("0.2").start();
        EXPECT_EQ(child.pidFd() == -1,
                  error != 0 || OstrelTest::underValgrind() || OstrelTest::fallbacksBuild)
            << error;
        EXPECT_FALSE(child.waitFor(0)) << error;
        std::optional<ExitStatus> status;
        EXPECT_LT(OstrelTest::millisecondsOf([&] { status = child.waitFor(20000); }), 10000)
            << error; // woken by the end of the child, not by the limit
        EXPECT_TRUE(status && status->exited) << error;
        pollfd ready{child.pidFd(), POLLIN, 0};
        EXPECT_TRUE(child.pidFd() == -1 || ::poll(&ready, 1, 0) == 1) << error;
    }
}

// A child started from a thread that blocks SIGTERM, in a process that ignores SIGINT, starts
// with neither blocked nor ignored, unless restoreSignals(false). Dispositions belong to the
// process: in a child.
TEST(Command, RestoreSignalsClearsTheMaskAndIgnoredSignals) {
    OstrelTest::inChild([] {
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGRTMAX, SIG_IGN); // the last signal number
        std::thread([] {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &term, nullptr);
            for (const auto& [road, signal] : roads) {
                for (const bool restore : {true, false}) {
                    Child child = Command("/bin/grep")
                                      .args({"-E", "^Sig(Blk|Ign)", "/proc/self/status"})
                                      .restoreSignals(restore)
                                      .dieWithParent(signal)
                                      .stdoutTo(Command::Pipe)
                                      .start();
                    unsigned long blocked = 1, ignored = 1;
                    std::string label;
                    std::istringstream(child.readStdout()) >> label >> std::hex >> blocked >>
                        label >> ignored;
                    EXPECT_EQ(child.wait().shellCode(), 0);
                    EXPECT_EQ(
                        std::make_pair(blocked >> (SIGTERM - 1) & 1, ignored >> (SIGINT - 1) & 1),
                        std::make_pair(restore ? 0UL : 1UL, restore ? 0UL : 1UL))
                        << road;
                    if (restore) {
                        EXPECT_EQ(std::make_pair(blocked, ignored), std::make_pair(0UL, 0UL))
                            << road;
                    }
                }
            }
        }).join();
    });
}

// With two descriptors left below the limit, too few for the launcher's report pipe, a start
// still succeeds on both roads, its passed descriptor and /dev/null in place, and a failed one
// still reports its error. The limit belongs to the process: in a child.
TEST(Command, StartsAtTheDescriptorLimit) {
    OstrelTest::inChild([] {
        // One failure while descriptors are plenty: UBSan checks the type of an exception's
        // first object through a pipe of its own, which the limit below would refuse.
        if (!OstrelTest::underValgrind()) { // which loses the report (below)
            EXPECT_THROW(Command("/nonexistent").start(), Command::Exception);
        }
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 64; // only the soft limit: valgrind refuses to lower its hard one
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        std::vector<int> opened;
        for (int fd = 0; (fd = ::open("/dev/null", O_RDONLY)) != -1;) {
            opened.push_back(fd);
        }
        ASSERT_GE(opened.size(), 3U);
        ::close(opened.back());
        ::close(opened.end()[-2]);
        for (const auto& [road, signal] : roads) {
            Child child = Command("/bin/sh")
                              .args({"-c", "[ -e /dev/fd/5 ]"})
                              .stdinFrom(Command::Null)
                              .passFd(opened[0], 5)
                              .dieWithParent(signal)
                              .start();
            EXPECT_EQ(child.wait().shellCode(), 0) << road;
            if (!OstrelTest::underValgrind()) { // both roads' reports lost there without a pipe
                EXPECT_EQ(messageOf<Command::Exception>([signal = signal] {
                              Command("/nonexistent").dieWithParent(signal).start();
                          }),
                          withError("Cannot run program", ENOENT))
                    << road;
            }
        }
    });
}

// Children started from several threads at once, on both roads, hold only their own streams.
TEST(Command, ConcurrentStartsPassOnlyTheirOwnStreams) {
    OstrelTest::runThreads(4, [](int thread) {
        for (int i = 0; i < 10; ++i) {
            Child child = Command("/bin/ls")
                              .arg("/proc/self/fd")
                              .stdinFrom(Command::Null)
                              .stdoutTo(Command::Pipe)
                              .stderrTo(Command::ToStdout)
                              .dieWithParent(roads[(thread + i) % 2].second)
                              .start();
            EXPECT_EQ(child.readStdout(), "0\n1\n2\n3\n"); // 3: the listing's own
            EXPECT_EQ(child.wait().shellCode(), 0);
        }
    });
}

// The child of newSession(true) leads a session and a process group, that of
// newProcessGroup(true) a group in the caller's session; killGroup reaches both.
TEST(Command, NewSessionOrGroupLeadsItsOwn) {
    for (const auto& [road, signal] : roads) {
        for (const bool session : {true, false}) {
            Child child = Command("/bin/sleep")
                              .arg("10")
                              .newSession(session)
                              .newProcessGroup(!session)
                              .dieWithParent(signal)
                              .start();
            const std::string id = std::to_string(child.id());
            EXPECT_TRUE(OstrelTest::eventually([&] {
                std::string field[6];
                std::ifstream stat("/proc/" + id + "/stat");
                for (std::string& value : field) {
                    stat >> value;
                }
                return field[4] == id && (field[5] == id) == session;
            })) << road;
            child.killGroup(SIGKILL);
            EXPECT_EQ(child.wait().shellCode(), 137) << road;
        }
    }
}

// An intermediate process starts a child with dieWithParent(SIGKILL) and is killed at a moment
// that varies from round to round (before, during or after the start): any child it started is
// gone within 200 ms. The test process is the subreaper of both, so both come back to it.
TEST(Command, DieWithParentEndsTheChildOfAKilledParent) {
    OstrelTest::inChild(
        [] {
            ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
            const bool slow = OstrelTest::underValgrind() || OstrelTest::threadSanitizerBuild;
            for (int round = 0; round < (slow ? 20 : 300); ++round) {
                const pid_t parent = ::fork();
                if (parent == 0) {
                    Child child = Command("/bin/sleep").arg("3").dieWithParent(SIGKILL).start();
                    for (;;) {
                        ::pause();
                    }
                }
                std::this_thread::sleep_for(std::chrono::microseconds(round % 20 * 100));
                ::kill(parent, SIGKILL);
                const auto killed = std::chrono::steady_clock::now();
                int status = 0;
                for (pid_t got = 0; got != -1;) {
                    got = ::waitpid(-1, &status, WNOHANG);
                    if (got > 0) {
                        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << round;
                    } else if (std::chrono::steady_clock::now() - killed >
                               std::chrono::milliseconds(200)) {
                        ADD_FAILURE() << "a child outlived its parent, round " << round;
                        while (::waitpid(-1, nullptr, 0) > 0) { // the sleep ends by itself
                        }
                        return;
                    } else if (got == 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
            }
        },
        60000);
}

// Signal dispositions belong to the process: in a child. Another process sends a storm of
// SIGTERM while a thread waits; each request is taken once and none is lost.
TEST(TerminateRequest, SigtermStormWakesTheWaiter) {
    OstrelTest::inChild([] {
        {
            TerminateRequest request;
            Signal::_the.addSignalHandler(Signal::Terminate, request);
            EXPECT_FALSE(request.waitFor(0));
            EXPECT_EQ(request.count(), 0UL);
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

// The records a set holds now, taken on two threads at once.
std::vector<SignalSet::Received> takeAll(SignalSet& set) {
    std::vector<SignalSet::Received> taken[2];
    OstrelTest::runThreads(2, [&](int thread) {
        while (const auto received = set.take()) {
            taken[thread].push_back(*received);
        }
    });
    taken[0].insert(taken[0].end(), taken[1].begin(), taken[1].end());
    return taken[0];
}

std::string senderOf(const std::optional<SignalSet::Received>& received) {
    return received
               ? std::to_string(received->signal) + " from " + std::to_string(received->senderId) +
                     " user " + std::to_string(static_cast<long>(received->senderUser))
               : "nothing";
}

// Signal dispositions belong to the process: in a child.
TEST(SignalSet, RecordsNameTheSenderAndNoneIsLost) {
    OstrelTest::inChild([] {
        struct sigaction earlier {};
        earlier.sa_handler = own;
        earlier.sa_flags = SA_NODEFER;
        sigaction(SIGUSR1, &earlier, nullptr);
        {
            SignalSet usr1({SIGUSR1, SIGUSR1});
            SignalSet usr2({SIGCHLD, SIGUSR2});
            EXPECT_FALSE(usr1.take());
            Child sender =
                Command("/bin/sh").args({"-c", "kill -USR2 $PPID; kill -USR1 $PPID"}).start();
            const std::string from =
                " from " + std::to_string(sender.id()) + " user " + std::to_string(getuid());
            EXPECT_EQ(senderOf(usr1.waitFor(10000)), std::to_string(SIGUSR1) + from);
            EXPECT_EQ(sender.wait().shellCode(), 0);
            const std::set<std::string> others = {senderOf(usr2.waitFor(10000)),
                                                  senderOf(usr2.waitFor(10000))}; // either order
            EXPECT_EQ(others, (std::set<std::string>{std::to_string(SIGUSR2) + from,
                                                     std::to_string(SIGCHLD) + from}));
            // Taken by nobody, the pipe fills; what does not fit is one record, sender 0.
            for (int i = 0; i < 7000; ++i) {
                raise(SIGUSR1);
            }
            raise(SIGUSR2);
            const auto taken = takeAll(usr1);
            const auto count = [&](pid_t sender) {
                return std::count_if(taken.begin(), taken.end(), [&](const auto& r) {
                    return r.signal == SIGUSR1 && r.senderId == sender;
                });
            };
            EXPECT_EQ(count(0), 1);
            EXPECT_EQ(count(getpid()) + 1, static_cast<long>(taken.size()));
            EXPECT_LT(taken.size(), 7000U);
            EXPECT_EQ(senderOf(usr2.take()), std::to_string(SIGUSR2) + " from " +
                                                 std::to_string(getpid()) + " user " +
                                                 std::to_string(getuid()));
            // A forked child has the earlier action back; its end is told to the parent.
            OstrelTest::inChild([] { EXPECT_EQ(disposition(SIGUSR1), own); });
            EXPECT_EQ(usr2.waitFor(10000).value_or(SignalSet::Received{}).signal, SIGCHLD);
        }
        struct sigaction now {};
        sigaction(SIGUSR1, nullptr, &now);
        EXPECT_EQ(now.sa_handler, own);
        EXPECT_EQ(now.sa_flags & SA_NODEFER, SA_NODEFER);
        EXPECT_EQ(disposition(SIGUSR2), SIG_DFL);
    });
}

// A refused set changes nothing: the signals before the refused one keep their action.
TEST(SignalSet, RefusesWhatItCannotOrMayNotTake) {
    OstrelTest::inChild([] {
        const SignalSet held({SIGUSR1});
        TerminateRequest request;
        Signal::_the.addSignalHandler(Signal::Terminate, request);
        const std::pair<int, int> rows[] = {{SIGKILL, EINVAL}, {SIGSTOP, EINVAL}, {SIGSEGV, EINVAL},
                                            {SIGBUS, EINVAL},  {SIGFPE, EINVAL},  {SIGILL, EINVAL},
                                            {0, EINVAL},       {65, EINVAL},      {-1, EINVAL},
                                            {32, EINVAL},      {SIGUSR1, EBUSY},  {SIGINT, EBUSY},
                                            {SIGTERM, EBUSY}};
        for (const auto& [number, error] : rows) {
            int got = 0;
            EXPECT_EQ(messageOf<SignalSet::Exception>([&, number = number] {
                          try {
                              SignalSet({SIGHUP, number});
                          } catch (const SignalSet::Exception& e) {
                              got = e.error();
                              throw;
                          }
                      }),
                      withError("Cannot receive signal", error))
                << number;
            EXPECT_EQ(got, error) << number;
            EXPECT_EQ(disposition(SIGHUP), SIG_DFL) << number;
        }
        Signal::_the.removeSignalHandler(Signal::Terminate);
        SignalSet stops({SIGINT, SIGTERM});
        raise(SIGTERM);
        EXPECT_EQ(senderOf(stops.take()), std::to_string(SIGTERM) + " from " +
                                              std::to_string(getpid()) + " user " +
                                              std::to_string(getuid()));
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
    Thread::sleep(500);
    innerPhase = 2;
    return 0;
}

// A thread cancelled while a destructor waits for its child or its thread ends with the code of
// terminate() once that wait is over: the child reaped, the other thread joined, nothing aborted.
// The cancellation is sent only once the body has reached the destructor's wait: a thread body
// is cancelled asynchronously, and one that sleeps earlier (in fork or pthread_create, which
// ThreadSanitizer makes wait) could be cancelled inside the runtime instead.
TEST(Cancel, ADestructorFinishesItsWaitThenTheThreadEnds) {
    OstrelTest::inChild([] {
        const auto inDestructorWait = [](const std::atomic<bool>& reached) {
            ASSERT_TRUE(OstrelTest::eventually([&] { return reached.load(); }));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        };
        pid_t child = -1;
        std::atomic<bool> reaping{false};
        OstrelTest::SleepingThread reaper([&] {
            Process process;
            run(process, {"/bin/sleep", "0.5"}, false);
            child = process.childId();
            reaping = true;
        });
        inDestructorWait(reaping);
        reaper.terminate(7);
        EXPECT_EQ(reaper.join(), 7);
        EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        std::atomic<bool> joining{false};
        OstrelTest::SleepingThread joiner([&] {
            FnThread inner(sleepAndMarkDone);
            inner.start();
            while (innerPhase == 0) { // busy: the body must not sleep before the destructor
                Thread::yield();
            }
            joining = true;
        });
        inDestructorWait(joining);
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
        EXPECT_EQ(messageOf<Thread::Exception>([ms = milliseconds] { Thread::sleep(ms); }),
                  withError("Cannot sleep", ENOMEM));
        EXPECT_EQ(OstrelFault::lastPollTimeout(), limit) << milliseconds;
    }
}

// A body that joins its own thread is refused ("Cannot join thread", running cleared); marked
// running again, the thread is joined as usual.
struct SelfJoiner : Thread {
    int main() override {
        while (!go) {
            Thread::yield();
        }
        message = messageOf<Exception>([this] { join(); });
        running = true;
        done = true;
        return 5;
    }
    std::atomic<bool> go{false}, done{false};
    std::string message;
};

TEST(Thread, JoiningItselfIsRefused) {
    SelfJoiner thread;
    thread.start();
    thread.go = true;
    ASSERT_TRUE(OstrelTest::eventually([&] { return thread.done.load(); }));
    EXPECT_EQ(thread.message, "Cannot join thread");
    EXPECT_EQ(thread.join(), 5);
}

} // namespace
