#include <Ostrel/Process.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using Ostrel::Process;

namespace {

// Owns the strings of a null-terminated argument vector.
class Argv {
public:
    Argv(std::initializer_list<std::string> args) : strings(args) {
        for (auto& s : strings) {
            pointers.push_back(s.data());
        }
        pointers.push_back(nullptr);
    }
    char* const* get() { return pointers.data(); }

private:
    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

std::string messageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Process::Exception& e) {
        return e.what();
    }
    return "(no exception)";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tool() {
    return std::string(std::getenv("OSTREL_BUILD_DIR")) + "/bin/ostrel";
}

} // namespace

TEST(ProcessTest, ExitCodesAndStartAgain) {
    Process process;
    EXPECT_EQ(process.childId(), -1);
    Argv three{"/bin/sh", "-c", "exit 3"};
    process.start(three.get());
    EXPECT_GT(process.childId(), 0);
    EXPECT_EQ(process.join(), 3);
    EXPECT_EQ(process.childId(), -1);

    Argv missing{"/nonexistent/program"};
    process.start(missing.get());
    EXPECT_EQ(process.join(), 255);

    // No PATH search: a bare name is not found.
    Argv bare{"true"};
    process.start(bare.get());
    EXPECT_EQ(process.join(), 255);
}

TEST(ProcessTest, TerminateAndSignalEnds) {
    Process process;
    Argv sleeper{"/bin/sleep", "30"};
    process.start(sleeper.get());
    process.terminate(7);
    EXPECT_NE(process.childId(), -1);
    EXPECT_EQ(process.join(), 7);

    // A child that a signal of its own ends reports exitCode (still 7 here).
    Argv selfKill{"/bin/sh", "-c", "kill -9 $$"};
    process.start(selfKill.get());
    EXPECT_EQ(process.join(), 7);

    Process fresh;
    fresh.start(selfKill.get());
    EXPECT_EQ(fresh.join(), 0);
}

TEST(ProcessTest, StateErrors) {
    Process process;
    EXPECT_EQ(messageOf([&] { process.join(); }), "Process doesn't run");
    EXPECT_EQ(messageOf([&] { process.terminate(5); }), "Process doesn't run");
    EXPECT_EQ(process.terminateCode(), 5);

    Argv sleeper{"/bin/sleep", "30"};
    process.start(sleeper.get());
    const pid_t first = process.childId();
    EXPECT_EQ(messageOf([&] { process.start(sleeper.get()); }), "Process is already running");
    EXPECT_EQ(process.childId(), first);
    EXPECT_EQ(kill(first, 0), 0);
    process.terminate(1);
    EXPECT_EQ(process.join(), 1);
}

TEST(ProcessTest, DestructorWaitsForChild) {
    pid_t child = -1;
    {
        Process process;
        Argv shortSleep{"/bin/sleep", "0.2"};
        process.start(shortSleep.get());
        child = process.childId();
    }
    // Collected: no longer our child, and gone.
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(kill(child, 0), -1);
}

// Every failing call of the table, injected in a child: the message, the state, then the
// object used again. A failed execv is the child's own affair: it shows as exit code 255.
TEST(ProcessTest, SystemCallFailures) {
    struct Case {
        const char* rule;
        const char* program;
        void (*call)(Process&, char* const*);
        std::string message;
        bool child; // afterwards
        int joined; // what join returns once the call works again
    };
    const auto error = [](int number) { return std::string(" - ") + std::strerror(number); };
    const Case cases[] = {
        {"fork:1:11", "/bin/true", [](Process& p, char* const* argv) { p.start(argv); },
         "Cannot fork process" + error(EAGAIN), false, 0},
        {"kill:1:1", "/bin/sleep",
         [](Process& p, char* const* argv) {
             p.start(argv);
             p.terminate(7);
         },
         "Cannot terminate process" + error(EPERM), true, 7},
        {"waitpid:1:4", "/bin/true",
         [](Process& p, char* const* argv) {
             p.start(argv);
             p.join();
         },
         "Cannot join process" + error(EINTR), true, 0},
        {"execv:1:2", "/bin/true", [](Process& p, char* const* argv) { p.start(argv); },
         "(no exception)", true, 255},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OstrelTest::runInChild([&c] {
                      const OstrelTest::ResourceSnapshot before;
                      Process process;
                      Argv argv{c.program, "30"};
                      ostrelFaultSet(c.rule);
                      const std::string message = messageOf([&] { c.call(process, argv.get()); });
                      ostrelFaultSet(nullptr);
                      if (message != c.message || (process.childId() != -1) != c.child ||
                          process.terminateCode() != (c.joined == 7 ? 7 : 0)) {
                          std::fprintf(stderr, "got \"%s\"\n", message.c_str());
                          return 1;
                      }
                      if (!c.child) {
                          process.start(argv.get());
                      } else if (c.joined == 7) {
                          process.terminate(7);
                      }
                      return process.join() == c.joined && before.unchanged() ? 0 : 2;
                  }),
                  0)
            << c.rule;
    }
    Process process; // a real failure: the child was collected behind the object's back
    EXPECT_EQ(messageOf([&] {
                  Argv t{"/bin/true"};
                  process.start(t.get());
                  (void)waitpid(process.childId(), nullptr, 0);
                  process.join();
              }),
              "Cannot join process" + error(ECHILD));
    EXPECT_NE(process.childId(), -1);
}

// The ostrel run tool.

TEST(ProcessTest, ToolRunsAndPassesExitCode) {
    OstrelTest::TempDir dir;
    const std::string out = dir.path() + "/out";
    const std::string err = dir.path() + "/err";
    struct Case {
        std::string args;
        int code;
        std::string stdoutText;
        std::string stderrText;
    };
    const std::vector<Case> cases = {
        {"/bin/sh -c 'echo hi; exit 3'", 3, "hi\n", ""},
        {"/bin/true", 0, "", ""},
        {"/nonexistent", 255, "", ""},
        {"--timeout 5000 /bin/true", 0, "", ""},
        {"--timeout 100 /bin/sleep 30", 124, "",
         "ostrel run: /bin/sleep: timed out after 100 ms, killed\n"},
    };
    for (const auto& c : cases) {
        const std::string command =
            tool() + " run " + c.args + " >" + out + " 2>" + err + " </dev/null";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << c.args;
        EXPECT_EQ(WEXITSTATUS(status), c.code) << c.args;
        EXPECT_EQ(readFile(out), c.stdoutText) << c.args;
        EXPECT_EQ(readFile(err), c.stderrText) << c.args;
    }
    for (const std::string args : {"", "--timeout", "--timeout x /bin/true", "--timeout 5"}) {
        const int status = std::system((tool() + " run " + args + " 2>/dev/null").c_str());
        EXPECT_EQ(WEXITSTATUS(status), 2) << args;
    }
}

TEST(ProcessTest, ToolStopSignalsKillChild) {
    for (const int sig : {SIGINT, SIGTERM}) {
        const int code = OstrelTest::runInChild(
            [sig] {
                Process process;
                const std::string path = tool();
                Argv argv{path, "run", "/bin/sleep", "30"};
                process.start(argv.get());
                usleep(300 * 1000); // time to register the handler
                kill(process.childId(), sig);
                return process.join();
            },
            10000);
        if (OstrelTest::threadSanitizerBuild && sig == SIGINT) {
            // ThreadSanitizer runs signal handlers deferred, with a mask that no longer tells the
            // signal being handled, which is how the tool tells SIGINT from SIGTERM.
            EXPECT_TRUE(code == 130 || code == 143) << code;
            continue;
        }
        EXPECT_EQ(code, 128 + sig);
    }
}
