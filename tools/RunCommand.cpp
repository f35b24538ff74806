// ostrel run [--timeout MS] PROGRAM [ARG...]: runs PROGRAM as a child through Ostrel::Process.
//
// The program path is used as given (no PATH search). The tool prints nothing of its own on
// success and exits with the child's exit code (255 when the program could not be run). With
// --timeout, a child still running after MS milliseconds is killed and the tool exits 124 with a
// line on stderr. SIGINT or SIGTERM to the tool, while the child runs, reaches a Signal handler:
// the child is killed and the tool exits 130 or 143.
//
// One thread does everything, since a Process object is not to be used from two threads at once:
// every 10 ms it looks whether the child has ended (waitid with WNOWAIT, which leaves the child
// to Process::join to reap), whether a stop signal arrived and whether the time is up, and kills
// the child with Process::terminate when it must, then joins it.
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

// True when the child has ended; it stays unreaped for Process::join.
bool childEnded(pid_t child) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == -1 ||
           info.si_pid == child;
}

} // namespace

int run(const Args& args) {
    const RunOptions options = parseRunArgs(args);
    std::vector<char*> argv;
    for (const auto& arg : options.argv) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    Ostrel::Process process;
    // join() reports a child ended by a signal with the code of the last terminate(), which
    // stores its code even when there is no child yet: a signal the tool did not send gives 1.
    try {
        process.terminate(1);
    } catch (const Ostrel::Process::Exception&) {
    }
    StopHandler handler;
    Ostrel::Signal::_the.addSignalHandler(Ostrel::Signal::Terminate, handler);
    std::cout.flush();
    try {
        process.start(argv.data());
    } catch (const Ostrel::Process::Exception& e) {
        Ostrel::Signal::_the.removeSignalHandler(Ostrel::Signal::Terminate);
        printError("run", e.what());
        return ExitFailure;
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    bool timedOut = false;
    while (!childEnded(process.childId())) {
        const int stop = stopSignal;
        if (stop != 0 || (options.timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline)) {
            timedOut = stop == 0;
            try {
                process.terminate(stop != 0 ? ExitSignalBase + stop : ExitTimedOut);
            } catch (const Ostrel::Process::Exception&) {
                // An ended, unreaped child can still be killed; nothing else can fail here.
            }
            break;
        }
        Ostrel::Thread::sleep(10);
    }
    int code = ExitFailure;
    std::string error;
    try {
        code = process.join();
    } catch (const Ostrel::Process::Exception& e) {
        error = e.what();
    }
    Ostrel::Signal::_the.removeSignalHandler(Ostrel::Signal::Terminate);

    if (stopSignal != 0) {
        return ExitSignalBase + stopSignal;
    }
    if (timedOut) {
        printError("run", options.argv[0] + ": timed out after " +
                              std::to_string(options.timeoutMs) + " ms, killed");
        return ExitTimedOut;
    }
    if (!error.empty()) {
        printError("run", error);
    }
    return code;
}

} // namespace OstrelTool
