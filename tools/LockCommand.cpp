// ostrel lock [--shared] [--timeout MS] [--conflict-exit-code N] FILE PROGRAM [ARG...]: takes an
// Ostrel::FileLock on FILE, runs PROGRAM as a child through Ostrel::Command while it holds the
// lock, and releases it when PROGRAM has ended.
//
// PROGRAM stays in the tool's process group, so that it reads the terminal as it would without
// the tool. The tool must outlive it, or the lock would go before PROGRAM ends: while PROGRAM
// runs, SIGINT, SIGTERM, SIGHUP and SIGQUIT sent to the tool are passed on to PROGRAM instead of
// ending the tool, except those the terminal sends to the whole foreground group, which PROGRAM
// receives itself. The lock's descriptor is close-on-exec: PROGRAM never holds the lock itself.
//
// Exit codes: PROGRAM's own, 128 + N when signal N ended it; 1, or N of --conflict-exit-code,
// when another holder kept the lock past the limit; 125 when the lock file cannot be opened or
// locked (or the tool fails), 126 for a program found but not runnable, 127 for one not found.
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/Command.h>
#include <Ostrel/FileLock.h>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace OstrelTool {

LockOptions parseLockArgs(const Args& args) {
    ParsedArgs parsed =
        parseArgs(args, {{{"--shared", false}, {"--timeout", true}, {"--conflict-exit-code", true}},
                         {"FILE", "PROGRAM"},
                         anyNumber,
                         true});
    LockOptions options;
    options.shared = parsed.has("--shared");
    if (parsed.has("--timeout")) {
        options.timeoutMs = parseMilliseconds(parsed.options.at("--timeout"));
    }
    if (parsed.has("--conflict-exit-code")) {
        const std::string& code = parsed.options.at("--conflict-exit-code");
        if (code.empty() || code.size() > 3 ||
            code.find_first_not_of("0123456789") != std::string::npos || std::stoi(code) > 255) {
            throw UsageError{"bad exit code \"" + code + "\""};
        }
        options.conflictCode = std::stoi(code);
    }
    options.file = std::move(parsed.operands[0]);
    options.argv.assign(std::make_move_iterator(parsed.operands.begin() + 1),
                        std::make_move_iterator(parsed.operands.end()));
    return options;
}

namespace {

// The child that signals are passed on to, or 0 before it starts; a signal that comes before
// waits in pendingSignal.
volatile std::sig_atomic_t childId = 0;
volatile std::sig_atomic_t pendingSignal = 0;

// Passes a signal sent to the tool on to the child; one the terminal sent (SI_KERNEL) reached
// the child's group already. Only async-signal-safe calls here.
void passOn(int signal, siginfo_t* info, void* /*context*/) {
    if (info->si_code == SI_KERNEL) {
        return;
    }
    const int savedErrno = errno;
    if (childId != 0) {
        (void)kill(childId, signal);
    } else {
        pendingSignal = signal;
    }
    errno = savedErrno;
}

// While it lives, the signals that would end the tool go to the child instead. A signal that
// the tool ignores stays ignored, so that the child inherits that as it would without the tool.
class PassedOn {
public:
    PassedOn() {
        struct sigaction action {};
        action.sa_sigaction = passOn;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < count; ++i) {
            (void)sigaction(signals[i], nullptr, &_old[i]);
            if (_old[i].sa_handler != SIG_IGN) {
                (void)sigaction(signals[i], &action, nullptr);
            }
        }
    }
    // Puts back what the signals did before.
    ~PassedOn() {
        for (int i = 0; i < count; ++i) {
            (void)sigaction(signals[i], &_old[i], nullptr);
        }
        childId = 0;
        pendingSignal = 0;
    }
    PassedOn(const PassedOn&) = delete;
    PassedOn& operator=(const PassedOn&) = delete;

    // From now on signals go to child; one that came before goes now.
    static void to(pid_t child) {
        childId = child;
        if (pendingSignal != 0) {
            (void)kill(child, pendingSignal);
        }
    }
    // The child has ended: nothing is passed on any more.
    static void stop() { childId = 0; }

private:
    static constexpr int count = 4;
    static constexpr int signals[count] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction _old[count] {};
};

// Takes lock as options say: false when another holder kept it past the limit.
bool take(Ostrel::FileLock& lock, const LockOptions& options) {
    if (options.timeoutMs < 0) {
        options.shared ? lock.lockShared() : lock.lock();
        return true;
    }
    const auto milliseconds = static_cast<unsigned long>(options.timeoutMs);
    return options.shared ? lock.tryLockSharedFor(milliseconds) : lock.tryLockFor(milliseconds);
}

// Sleeps until child has ended, without reaping it, so that no signal can be passed on to a
// reused id. The sleep is a poll on the child's process descriptor where there is one: a signal
// then interrupts it at once, under ThreadSanitizer too, which holds signals back until the next
// call it knows to block; waitid is not such a call.
void awaitEnd(pid_t child) {
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (pidFd != -1) {
        pollfd ended{pidFd, POLLIN, 0};
        while (poll(&ended, 1, -1) == -1 && errno == EINTR) {
        }
        close(pidFd);
    }
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) == -1 &&
           errno == EINTR) {
    }
}

// Runs the program to its end; the tool's exit code.
int runProgram(const LockOptions& options) {
    const std::string& program = options.argv[0];
    const PassedOn passedOn;
    std::cout.flush();
    std::optional<Ostrel::Child> child;
    try {
        child.emplace(Ostrel::Command(program)
                          .args({options.argv.begin() + 1, options.argv.end()})
                          .searchPath(program.find('/') == std::string::npos)
                          .restoreSignals(false) // what the caller ignores stays ignored
                          .start());
    } catch (const Ostrel::Command::Exception& e) {
        printError("lock", program + ": " + e.what());
        return startFailureCode(e.error());
    }
    PassedOn::to(child->id());
    awaitEnd(child->id());
    PassedOn::stop();
    try {
        return child->wait().shellCode();
    } catch (const Ostrel::Command::Exception& e) {
        printError("lock", program + ": " + e.what());
    }
    return ExitRunFailed;
}

} // namespace

int lock(const Args& args) {
    const LockOptions options = parseLockArgs(args);
    try {
        Ostrel::FileLock fileLock(options.file);
        if (!take(fileLock, options)) {
            if (!options.conflictCode) {
                printError("lock",
                           options.file + (options.timeoutMs == 0
                                               ? ": already locked"
                                               : ": still locked after " +
                                                     std::to_string(options.timeoutMs) + " ms"));
            }
            return options.conflictCode.value_or(ExitFailure);
        }
        return runProgram(options);
    } catch (const Ostrel::FileLock::Exception& e) {
        printError("lock", options.file + ": " + e.what());
    }
    return ExitRunFailed;
}

} // namespace OstrelTool
