// ostrel run [--timeout MS] [--kill-after MS] [--foreground] PROGRAM [ARG...]: runs PROGRAM as a
// child through Ostrel::Command and exits with the codes of timeout(1) and the shells.
//
// The child runs in a process group of its own (unless --foreground), so that the time limit and
// SIGINT, SIGTERM or SIGHUP to the tool end everything it started: SIGTERM to the group, then
// SIGKILL when the child still runs --kill-after MS later, and SIGKILL to what is left of the
// group once the child has ended. The tool waits in one poll on the child's process descriptor
// and the descriptor of its TerminateRequest, with the time that is left as the poll's limit: no
// polling loop. SIGHUP reaches the same request through Signal::handleSignal.
//
// Exit codes: the child's own; 128 + N for a child ended by signal N; 124 when the time limit
// ended it, 137 when that took SIGKILL; 128 + N when signal N to the tool ended the run; 125 when
// the tool itself failed, 126 for a program found but not runnable, 127 for one not found.
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/Command.h>
#include <Ostrel/Signal.h>
#include <Ostrel/TerminateRequest.h>
#include <Ostrel/Time.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace OstrelTool {

RunOptions parseRunArgs(const Args& args) {
    ParsedArgs parsed =
        parseArgs(args, {{{"--timeout", true}, {"--kill-after", true}, {"--foreground", false}},
                         {"PROGRAM"},
                         anyNumber,
                         true});
    RunOptions options;
    options.timeoutMs = numberOption(parsed, "--timeout", 0, "number of milliseconds");
    options.killAfterMs = numberOption(parsed, "--kill-after", 2000, "number of milliseconds");
    options.foreground = parsed.has("--foreground");
    options.argv = std::move(parsed.operands);
    return options;
}

namespace {

// The signal that asked the tool to stop, or 0.
volatile std::sig_atomic_t stopSignal = 0;

// A TerminateRequest that also records which signal asked: the one being handled is blocked in
// the thread's mask while its handler runs. Only async-signal-safe calls here.
class StopRequest : public Ostrel::TerminateRequest {
public:
    void signalReceived(Ostrel::Signal::SignalType type) override {
        sigset_t mask;
        sigemptyset(&mask);
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        if (stopSignal == 0) {
            stopSignal = sigismember(&mask, SIGTERM) == 1 ? SIGTERM : SIGINT;
        }
        TerminateRequest::signalReceived(type);
    }
};

// SIGHUP says which signal it is before it passes the request on.
void onHangUp(int /*signal*/) {
    const int savedErrno = errno;
    if (stopSignal == 0) {
        stopSignal = SIGHUP;
    }
    (void)Ostrel::Signal::_the.handleSignal(Ostrel::Signal::Terminate);
    errno = savedErrno;
}

// While it lives, SIGINT, SIGTERM and SIGHUP to the tool reach request instead of ending it.
class StopSignals {
public:
    explicit StopSignals(StopRequest& request) {
        Ostrel::Signal::_the.addSignalHandler(Ostrel::Signal::Terminate, request);
        struct sigaction action {};
        action.sa_handler = onHangUp;
        sigemptyset(&action.sa_mask);
        (void)sigaction(SIGHUP, &action, &_oldHangUp);
    }
    // Puts back what the three signals did before.
    ~StopSignals() {
        (void)sigaction(SIGHUP, &_oldHangUp, nullptr);
        Ostrel::Signal::_the.removeSignalHandler(Ostrel::Signal::Terminate);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction _oldHangUp {};
};

// Milliseconds on the monotonic clock.
long long nowMs() {
    return static_cast<long long>(Ostrel::getMonotonicTime() * 1000.0);
}

// Sleeps until the child's descriptor is readable (true: it ended), the request's is (false; -1
// waits for the child only) or the monotonic clock passes deadline (false; -1: no limit).
bool childEnded(int pidFd, int requestFd, long long deadline) {
    pollfd ready[2] = {{pidFd, POLLIN, 0}, {requestFd, POLLIN, 0}};
    for (;;) {
        int limit = -1;
        if (deadline >= 0) {
            const long long left = deadline - nowMs();
            limit = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        const int result = poll(ready, 2, limit);
        if (result > 0) {
            return ready[0].revents != 0;
        }
        if (result == 0 || errno != EINTR) {
            return false;
        }
    }
}

// The exit code of a program that Command could not start, after its line on stderr.
int startFailure(const std::string& program, const Ostrel::Command::Exception& e) {
    printError("run", program + ": " + e.what());
    switch (e.error()) {
    case ENOENT:
    case ENOTDIR:
        return ExitNotFound;
    case EACCES:
    case EPERM:
    case ENOEXEC:
    case EISDIR:
    case ETXTBSY:
        return ExitNotRunnable;
    default:
        return ExitRunFailed;
    }
}

// Sends signal to the child's group, or to the child alone with --foreground; a child that has
// already ended cannot be signalled, which is what the caller wants anyway.
void signalChild(Ostrel::Child& child, const RunOptions& options, int signal) {
    try {
        if (options.foreground) {
            child.kill(signal);
        } else {
            child.killGroup(signal);
        }
    } catch (const Ostrel::Command::Exception&) {
    }
}

// Runs the started child to its end and returns the tool's exit code.
int superviseChild(Ostrel::Child& child, const StopRequest& request, const RunOptions& options) {
    const std::string& program = options.argv[0];
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, child.id(), 0));
    if (pidFd == -1) {
        printError("run", "cannot watch " + program + ": " + std::strerror(errno));
        signalChild(child, options, SIGKILL);
        (void)child.wait();
        return ExitRunFailed;
    }
    const long long deadline = options.timeoutMs == 0 ? -1 : nowMs() + options.timeoutMs;
    const bool ended = childEnded(pidFd, request.fd(), deadline);
    bool killed = false;
    if (!ended) {
        signalChild(child, options, SIGTERM);
        if (!childEnded(pidFd, -1, nowMs() + options.killAfterMs)) {
            signalChild(child, options, SIGKILL);
            killed = true;
        }
    }
    (void)close(pidFd);
    const Ostrel::ExitStatus status = child.wait();
    if (!ended && !options.foreground) {
        signalChild(child, options, SIGKILL); // what is left of the group
    }
    if (stopSignal != 0) {
        return ExitSignalBase + stopSignal;
    }
    if (!ended) {
        printError("run", program + ": timed out after " + std::to_string(options.timeoutMs) +
                              " ms" + (killed ? ", killed" : ""));
        return killed ? ExitSignalBase + SIGKILL : ExitTimedOut;
    }
    return status.shellCode();
}

} // namespace

int run(const Args& args) {
    const RunOptions options = parseRunArgs(args);
    const std::string& program = options.argv[0];
    try {
        StopRequest request;
        const StopSignals stopSignals(request);
        std::cout.flush();
        std::optional<Ostrel::Child> child;
        try {
            child.emplace(Ostrel::Command(program)
                              .args({options.argv.begin() + 1, options.argv.end()})
                              .searchPath(program.find('/') == std::string::npos)
                              .newProcessGroup(!options.foreground)
                              .start());
        } catch (const Ostrel::Command::Exception& e) {
            return startFailure(program, e);
        }
        return superviseChild(*child, request, options);
    } catch (const Ostrel::TerminateRequest::Exception& e) {
        printError("run", e.what());
    } catch (const Ostrel::Command::Exception& e) {
        printError("run", program + ": " + e.what());
    }
    return ExitRunFailed;
}

} // namespace OstrelTool
