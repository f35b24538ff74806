// ostrel run [--timeout MS] PROGRAM [ARG...]: runs PROGRAM as a child through Ostrel::Process.
//
// The program path is used as given (no PATH search). The tool prints nothing of its own on
// success and exits with the child's exit code (255 when the program could not be run), or 1
// when a signal the tool did not send ended the child. With --timeout, a child still running
// after MS milliseconds is killed and the tool exits 124 with a line on stderr. SIGINT or SIGTERM
// to the tool, while the child runs, reaches a Signal handler: the child is killed and the tool
// exits 130 or 143.
//
// One thread does everything, since a Process object is not to be used from two threads at once:
// every 10 ms it looks whether the child has ended (waitid with WNOWAIT, which leaves the child
// to Process::join to reap and tells an exit from a signal), whether a stop signal arrived and
// whether the time is up, and kills the child with Process::terminate when it must, then joins it.
#include "Commands.h"
#include "Output.h"

#include <Ostrel/Process.h>
#include <Ostrel/Signal.h>
#include <Ostrel/Thread.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace OstrelTool {

RunOptions parseRunArgs(const Args& args) {
    ParsedArgs parsed = parseArgs(args, {{{"--timeout", true}}, {"PROGRAM"}, anyNumber, true});
    RunOptions options;
    if (parsed.has("--timeout")) {
        const std::string& ms = parsed.options["--timeout"];
        if (ms.empty() || ms.size() > 10 ||
            ms.find_first_not_of("0123456789") != std::string::npos || std::stol(ms) > INT_MAX) {
            throw UsageError{"bad number of milliseconds \"" + ms + "\""};
        }
        options.timeoutMs = std::stol(ms);
    }
    options.argv = std::move(parsed.operands);
    return options;
}

namespace {

// The stop signal that arrived, or 0.
volatile std::sig_atomic_t stopSignal = 0;

class StopHandler : public Ostrel::Signal::SignalHandler {
public:
    // Both signals arrive as the one type Terminate; the signal being handled is the one blocked
    // in this thread's mask while its handler runs. Only async-signal-safe calls here.
    void signalReceived(Ostrel::Signal::SignalType) override {
        sigset_t mask;
        sigemptyset(&mask);
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        stopSignal = sigismember(&mask, SIGTERM) == 1 ? SIGTERM : SIGINT;
    }
};

// While it lives, SIGINT and SIGTERM to the tool reach a StopHandler instead of ending it.
class StopSignals {
public:
    StopSignals() { Ostrel::Signal::_the.addSignalHandler(Ostrel::Signal::Terminate, _handler); }
    // Puts back what the two signals did before.
    ~StopSignals() { Ostrel::Signal::_the.removeSignalHandler(Ostrel::Signal::Terminate); }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    StopHandler _handler;
};

// What waitid tells of the child, which it leaves unreaped for Process::join.
enum class ChildState {
    Running,
    // It exited by itself; also when waitid fails, as join then does too and says why.
    Exited,
    // A signal ended it, with a core dump or without.
    Signalled,
};

// How the run ended.
struct Ending {
    // The stop signal that arrived, or 0.
    int stopSignal = 0;
    // The child was still running at the deadline and was killed.
    bool timedOut = false;
    // A signal that the tool did not send ended the child.
    bool signalled = false;
    // What join returned, or ExitFailure and its error when it failed.
    int code = ExitFailure;
    std::string joinError;
};

// PROGRAM and its ARGs as the null-terminated vector that Process::start takes; the pointers
// are into argv.
std::vector<char*> argvOf(const std::vector<std::string>& argv) {
    std::vector<char*> result;
    result.reserve(argv.size() + 1);
    for (const auto& arg : argv) {
        result.push_back(const_cast<char*>(arg.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

// Starts the child; false, with the error printed, when it cannot be started. Flushes stdout
// first, so that the child's copy of the buffer is empty.
bool startChild(Ostrel::Process& process, const std::vector<char*>& argv) {
    std::cout.flush();
    try {
        process.start(argv.data());
    } catch (const Ostrel::Process::Exception& e) {
        printError("run", e.what());
        return false;
    }
    return true;
}

// How the child stands now.
ChildState childState(pid_t child) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == -1) {
        return ChildState::Exited;
    }
    if (info.si_pid != child) {
        return ChildState::Running;
    }
    return info.si_code == CLD_EXITED ? ChildState::Exited : ChildState::Signalled;
}

// Kills the child; join then returns code for it.
void killChild(Ostrel::Process& process, int code) {
    try {
        process.terminate(code);
    } catch (const Ostrel::Process::Exception&) {
        // An ended, unreaped child can still be killed; nothing else can fail here.
    }
}

// Waits for the child to end, killing it when a stop signal arrives or timeoutMs (-1: none)
// passes, and joins it. The stop signal is the one seen after the join, as one can arrive after
// the child has ended.
Ending waitForChild(Ostrel::Process& process, long timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Ending ending;
    ChildState state = ChildState::Running;
    while ((state = childState(process.childId())) == ChildState::Running) {
        const int stop = stopSignal;
        if (stop != 0 || (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline)) {
            ending.timedOut = stop == 0;
            killChild(process, stop != 0 ? ExitSignalBase + stop : ExitTimedOut);
            break;
        }
        Ostrel::Thread::sleep(10);
    }
    ending.signalled = state == ChildState::Signalled;
    try {
        ending.code = process.join();
    } catch (const Ostrel::Process::Exception& e) {
        ending.joinError = e.what();
    }
    ending.stopSignal = stopSignal;
    return ending;
}

// The tool's exit code for ending, after the line that a time-out or a failed join prints on
// stderr.
int exitCode(const Ending& ending, const RunOptions& options) {
    if (ending.stopSignal != 0) {
        return ExitSignalBase + ending.stopSignal;
    }
    if (ending.timedOut) {
        printError("run", options.argv[0] + ": timed out after " +
                              std::to_string(options.timeoutMs) + " ms, killed");
        return ExitTimedOut;
    }
    if (!ending.joinError.empty()) {
        printError("run", ending.joinError);
        return ExitFailure;
    }
    return ending.signalled ? ExitFailure : ending.code;
}

} // namespace

int run(const Args& args) {
    const RunOptions options = parseRunArgs(args);
    const std::vector<char*> argv = argvOf(options.argv);
    Ending ending;
    {
        const StopSignals stopSignals;
        Ostrel::Process process;
        if (!startChild(process, argv)) {
            return ExitFailure;
        }
        ending = waitForChild(process, options.timeoutMs);
    }
    return exitCode(ending, options);
}

} // namespace OstrelTool
