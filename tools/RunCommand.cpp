// ostrel run [--timeout MS] PROGRAM [ARG...]: runs PROGRAM as a child through Ostrel::Process.
//
// The program path is used as given (no PATH search). The tool prints nothing of its own on
// success and exits with the child's exit code (255 when the program could not be run). With
// --timeout, a child still running after MS milliseconds is killed and the tool exits 124 with a
// line on stderr. SIGINT or SIGTERM to the tool, while the child runs, reaches a Signal handler:
// the child is killed and the tool exits 130 or 143.
//
// The child is joined by a waiter thread, while the main thread watches the clock and the stop
// flag in 10 ms steps and kills the child with Process::terminate when it must.
#include "Commands.h"

#include <Ostrel/Process.h>
#include <Ostrel/Signal.h>
#include <Ostrel/Thread.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <iostream>
#include <string>

namespace OstrelTool {

namespace {

struct RunOptions {
    // -1: no time limit.
    long timeoutMs = -1;
    std::vector<std::string> argv;
};

RunOptions parseRunArgs(const Args& args) {
    RunOptions options;
    std::size_t next = 0;
    if (next < args.size() && args[next] == "--timeout") {
        if (next + 1 >= args.size()) {
            throw UsageError{"--timeout needs a number of milliseconds"};
        }
        const std::string& ms = args[next + 1];
        if (ms.empty() || ms.size() > 10 ||
            ms.find_first_not_of("0123456789") != std::string::npos || std::stol(ms) > INT_MAX) {
            throw UsageError{"bad number of milliseconds \"" + ms + "\""};
        }
        options.timeoutMs = std::stol(ms);
        next += 2;
    }
    if (next >= args.size()) {
        throw UsageError{"missing PROGRAM"};
    }
    options.argv.assign(args.begin() + static_cast<std::ptrdiff_t>(next), args.end());
    return options;
}

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

class Waiter : public Ostrel::Thread {
public:
    explicit Waiter(Ostrel::Process& child) : process(child) {}
    ~Waiter() override {
        if (running) {
            (void)join();
        }
    }
    // Never cancelled: it may allocate and throw freely.
    int main() override {
        try {
            code = process.join();
        } catch (const Ostrel::Process::Exception& e) {
            error = e.what();
            code = 1;
        }
        done.store(true);
        return 0;
    }

    Ostrel::Process& process;
    std::atomic<bool> done{false};
    int code = 0;
    std::string error;
};

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
        std::cerr << "ostrel run: " << e.what() << std::endl;
        return 1;
    }

    Waiter waiter(process);
    waiter.start();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    bool timedOut = false;
    while (!waiter.done.load()) {
        const int stop = stopSignal;
        if (stop != 0 || (options.timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline)) {
            timedOut = stop == 0;
            try {
                process.terminate(stop != 0 ? 128 + stop : 124);
            } catch (const Ostrel::Process::Exception&) {
                // The child ended and was reaped in the meantime.
            }
            break;
        }
        Ostrel::Thread::sleep(10);
    }
    waiter.join();
    Ostrel::Signal::_the.removeSignalHandler(Ostrel::Signal::Terminate);

    if (stopSignal != 0) {
        return 128 + stopSignal;
    }
    if (timedOut) {
        std::cerr << "ostrel run: " << options.argv[0] << ": timed out after " << options.timeoutMs
                  << " ms, killed" << std::endl;
        return 124;
    }
    if (!waiter.error.empty()) {
        std::cerr << "ostrel run: " << waiter.error << std::endl;
    }
    return waiter.code;
}

} // namespace OstrelTool
