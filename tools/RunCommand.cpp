// ostrel run [--timeout DURATION] [--kill-after DURATION] [--signal SIG] [--preserve-status]
// [--verbose] [--foreground] PROGRAM [ARG...]: runs PROGRAM as a child through Ostrel::Command and
// exits with the codes of timeout(1) and the shells.
//
// The child runs in a process group of its own (unless --foreground), so that the time limit
// reaches everything it started: at the limit the group gets SIG (SIGTERM by default) and SIGCONT,
// so that a stopped child wakes to take it, then SIGKILL when the child still runs --kill-after
// later, and once the child has ended SIGKILL goes to what is left of the group. Every signal to
// the tool whose default action would end it is caught and passed to the group as itself, with
// SIGCONT after it; the tool goes on and reports the child's status. A signal that the caller
// ignores stays ignored, for the tool and the child (nohup's SIGHUP). SIGKILL cannot be caught:
// killed so, the tool leaves the group running. A caller's ignored SIGCHLD would have the kernel
// reap the child before the tool could; it gets its default action back, for the child as well.
//
// The tool sleeps in one poll on the child's process descriptor and the pipe of the signals caught,
// with the time that is left as the poll's limit. Where the system gives no process descriptor, it
// looks at the child in steps of 1 to 50 ms instead, still woken at once by a signal. The child is
// reaped last: every signal, the group's SIGKILL included, is sent while the child's id (and so
// its group's) cannot belong to another process.
//
// Exit codes: the child's own; 128 + N for a child ended by signal N; 124 when the time limit
// ended it, 137 when that took SIGKILL (--preserve-status: the child's code all the same); 125 for
// a usage error or when the tool itself failed, 126 for a program found but not runnable, 127 for
// one not found.
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/Command.h>
#include <Ostrel/Time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace OstrelTool {

namespace {

// A deadline that never comes, and a limit too long to represent.
constexpr long long never = LLONG_MAX;

// A time limit: a decimal number and a unit, how many milliseconds one of it is.
struct DurationUnit {
    const char* suffix;
    unsigned long long milliseconds;
};
constexpr DurationUnit durationUnits[] = {{"", 1},      {"ms", 1},      {"s", 1000},
                                          {"m", 60000}, {"h", 3600000}, {"d", 86400000}};

// text as milliseconds: DIGITS[.DIGITS] or .DIGITS, then a unit, rounded up to a whole
// millisecond, so that a positive limit never reads as none; never when it is longer than that.
long long parseDuration(const std::string& text) {
    const std::size_t numberEnd = std::min(text.find_first_not_of("0123456789."), text.size());
    const std::string number = text.substr(0, numberEnd);
    const auto unit = std::find_if(
        std::begin(durationUnits), std::end(durationUnits), [&](const DurationUnit& u) {
            return text.compare(numberEnd, std::string::npos, u.suffix) == 0;
        });
    if (unit == std::end(durationUnits) ||
        number.find_first_of("0123456789") == std::string::npos ||
        std::count(number.begin(), number.end(), '.') > 1) {
        throw UsageError{"bad duration \"" + text + "\""};
    }
    const unsigned long long perUnit = unit->milliseconds;
    const std::size_t point = std::min(number.find('.'), number.size());
    // The fraction times the unit, digit by digit from the last: exact however many there are.
    unsigned long long fraction = 0;
    bool remainder = false;
    for (std::size_t i = number.size(); i > point + 1; --i) {
        const unsigned long long product = (number[i - 1] - '0') * perUnit + fraction;
        remainder = remainder || product % 10 != 0;
        fraction = product / 10;
    }
    unsigned long long whole = 0;
    for (std::size_t i = 0; i < point; ++i) {
        whole = whole * 10 + static_cast<unsigned long long>(number[i] - '0');
        if (whole > LLONG_MAX / perUnit) {
            return never;
        }
    }
    const unsigned long long total = whole * perUnit + fraction + (remainder ? 1 : 0);
    return total > LLONG_MAX ? never : static_cast<long long>(total);
}

// The signals that have a name of their own, by their names without "SIG".
struct SignalName {
    const char* name;
    int number;
};
constexpr SignalName signalNames[] = {
    {"HUP", SIGHUP},       {"INT", SIGINT},     {"QUIT", SIGQUIT}, {"ILL", SIGILL},
    {"TRAP", SIGTRAP},     {"ABRT", SIGABRT},   {"IOT", SIGIOT},   {"BUS", SIGBUS},
    {"FPE", SIGFPE},       {"KILL", SIGKILL},   {"USR1", SIGUSR1}, {"SEGV", SIGSEGV},
    {"USR2", SIGUSR2},     {"PIPE", SIGPIPE},   {"ALRM", SIGALRM}, {"TERM", SIGTERM},
    {"STKFLT", SIGSTKFLT}, {"CHLD", SIGCHLD},   {"CLD", SIGCHLD},  {"CONT", SIGCONT},
    {"STOP", SIGSTOP},     {"TSTP", SIGTSTP},   {"TTIN", SIGTTIN}, {"TTOU", SIGTTOU},
    {"URG", SIGURG},       {"XCPU", SIGXCPU},   {"XFSZ", SIGXFSZ}, {"VTALRM", SIGVTALRM},
    {"PROF", SIGPROF},     {"WINCH", SIGWINCH}, {"IO", SIGIO},     {"POLL", SIGPOLL},
    {"PWR", SIGPWR},       {"SYS", SIGSYS}};

// The number of a signal given as 1 to SIGRTMAX or a name, with or without "SIG", in any case:
// those of signalNames, RTMIN, RTMIN+N, RTMAX-N, RTMAX.
int parseSignal(const std::string& text) {
    std::string name = text;
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (name.compare(0, 3, "SIG") == 0) {
        name.erase(0, 3);
    }
    const auto number = [](const std::string& digits) {
        return digits.empty() || digits.size() > 3 ||
                       digits.find_first_not_of("0123456789") != std::string::npos
                   ? -1
                   : std::stoi(digits);
    };
    int signal = number(name);
    for (const auto& known : signalNames) {
        signal = name == known.name ? known.number : signal;
    }
    if (name.compare(0, 5, "RTMIN") == 0 || name.compare(0, 5, "RTMAX") == 0) {
        const int base = name[4] == 'N' ? SIGRTMIN : SIGRTMAX;
        const char sign = name[4] == 'N' ? '+' : '-';
        const int offset = name.size() == 5 ? 0 : name[5] == sign ? number(name.substr(6)) : -1;
        signal = offset < 0 ? -1 : sign == '+' ? base + offset : base - offset;
        signal = signal < SIGRTMIN ? -1 : signal;
    }
    if (signal < 1 || signal > SIGRTMAX) {
        throw UsageError{"bad signal \"" + text + "\""};
    }
    return signal;
}

// The name of signal without "SIG" (TERM, RTMIN+2), or its number.
std::string signalName(int signal) {
    for (const auto& known : signalNames) {
        if (known.number == signal) {
            return known.name;
        }
    }
    if (signal >= SIGRTMIN && signal <= SIGRTMAX) {
        return signal == SIGRTMIN ? "RTMIN" : "RTMIN+" + std::to_string(signal - SIGRTMIN);
    }
    return std::to_string(signal);
}

} // namespace

RunOptions parseRunArgs(const Args& args) {
    ParsedArgs parsed = parseArgs(args, {{{"--timeout", true},
                                          {"--kill-after", true},
                                          {"--signal", true},
                                          {"--preserve-status", false},
                                          {"--verbose", false},
                                          {"--foreground", false}},
                                         {"PROGRAM"},
                                         anyNumber,
                                         true});
    RunOptions options;
    if (parsed.has("--timeout")) {
        options.timeoutMs = parseDuration(parsed.options.at("--timeout"));
    }
    if (parsed.has("--kill-after")) {
        options.killAfterMs = parseDuration(parsed.options.at("--kill-after"));
    }
    if (parsed.has("--signal")) {
        options.signal = parseSignal(parsed.options.at("--signal"));
    }
    options.preserveStatus = parsed.has("--preserve-status");
    options.verbose = parsed.has("--verbose");
    options.foreground = parsed.has("--foreground");
    options.argv = std::move(parsed.operands);
    return options;
}

namespace {

// A failure of the tool itself: "ostrel run: MESSAGE", exit 125.
struct RunFailure {
    std::string message;
};

// The signals whose default action ends a process, and which the run therefore passes on. Left
// out: SIGKILL, which cannot be caught, and the signals that report a fault of the tool itself
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT), which would loop or hide it.
// The real-time signals, which end a process too, are added at run time.
constexpr int passedSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGUSR1,   SIGUSR2,
                                 SIGPIPE, SIGALRM,   SIGTERM, SIGSTKFLT, SIGXCPU,
                                 SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,     SIGPWR};

// Added to a caught signal's number on the pipe when the kernel sent it (a terminal's key or
// hang-up), not a process.
constexpr int fromKernel = 0x80;

// The write end of the pipe of the signals caught, for onSignal.
volatile std::sig_atomic_t caughtWriteFd = -1;

// Writes the signal's number on the pipe, plus fromKernel when the kernel sent it. A signal the
// kernel raises at the tool for its own doing is dropped: SIGPIPE or SIGXFSZ of its own write to
// a closed pipe or beyond the file size limit (sent by its own process id; the write then fails)
// and SIGXCPU of its own processor time limit. Only async-signal-safe calls here.
void onSignal(int signal, siginfo_t* info, void* /*context*/) {
    const bool own = (info->si_code == SI_USER && info->si_pid == ::getpid()) ||
                     (signal == SIGXCPU && info->si_code == SI_KERNEL);
    if (!own) {
        const int savedErrno = errno;
        const auto byte =
            static_cast<unsigned char>(signal | (info->si_code == SI_KERNEL ? fromKernel : 0));
        (void)::write(caughtWriteFd, &byte, 1);
        errno = savedErrno;
    }
}

// fd moved above the standard descriptors, so that a caller that closed one of them cannot have
// the tool's error lines written into its pipe; -1 when that fails (fd is closed then).
int aboveStandard(int fd) noexcept {
    if (fd > 2) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    (void)::close(fd);
    return moved;
}

// While it lives, each signal of passedSignals and each real-time signal that the caller does not
// ignore is caught into a non-blocking close-on-exec pipe instead of ending the tool. A child
// started meanwhile gets the default action back from exec; an ignored one stays ignored. Puts
// the dispositions back when it goes. Throws RunFailure when it cannot make its pipe. Not
// thread-safe: one object at a time, made and destroyed by one thread.
class CaughtSignals {
public:
    CaughtSignals() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            _readFd = aboveStandard(ends[0]);
            _writeFd = aboveStandard(ends[1]);
        }
        if (_readFd == -1 || _writeFd == -1) {
            const std::string text = std::strerror(errno);
            closeEnds();
            throw RunFailure{"cannot catch signals: " + text};
        }
        caughtWriteFd = _writeFd;
        std::vector<int> signals(std::begin(passedSignals), std::end(passedSignals));
        for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
            signals.push_back(signal);
        }
        struct sigaction action {};
        action.sa_sigaction = onSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        // One call installs the handler and reads the old disposition; an ignored one goes back
        // while every signal is blocked, and making a signal ignored discards it if pending.
        _saved.reserve(signals.size()); // nothing throws while dispositions are changed
        sigset_t all;
        sigset_t before;
        sigfillset(&all);
        (void)::pthread_sigmask(SIG_SETMASK, &all, &before);
        for (const int signal : signals) {
            struct sigaction old {};
            if (::sigaction(signal, &action, &old) == 0) {
                if (old.sa_handler == SIG_IGN) {
                    (void)::sigaction(signal, &old, nullptr);
                } else {
                    _saved.emplace_back(signal, old);
                }
            }
        }
        (void)::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    ~CaughtSignals() {
        for (const auto& [signal, old] : _saved) {
            (void)::sigaction(signal, &old, nullptr);
        }
        caughtWriteFd = -1;
        closeEnds();
    }
    CaughtSignals(const CaughtSignals&) = delete;
    CaughtSignals& operator=(const CaughtSignals&) = delete;

    // The descriptor that is readable while a caught signal is not yet taken.
    int fd() const noexcept { return _readFd; }
    // The next signal caught, as onSignal wrote it, or 0 when none is left.
    int take() const noexcept {
        unsigned char byte = 0;
        return ::read(_readFd, &byte, 1) == 1 ? byte : 0;
    }

private:
    void closeEnds() noexcept {
        for (const int fd : {_readFd, _writeFd}) {
            if (fd != -1) {
                (void)::close(fd);
            }
        }
    }

    std::vector<std::pair<int, struct sigaction>> _saved;
    int _readFd = -1;
    int _writeFd = -1;
};

// A caller that ignores SIGCHLD has the kernel reap its children at once, leaving nothing to wait
// for: the tool and the child get the default action back.
void defaultChildSignal() noexcept {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGCHLD, &action, nullptr);
}

// The first regular file that the caller may execute named name in the directories of PATH
// ("/bin:/usr/bin" when it is not set; an empty entry is the working directory), as
// posix_spawnp finds it; empty when there is none.
std::string findInPath(const std::string& name) {
    const char* variable = std::getenv("PATH");
    const std::string path = variable != nullptr ? variable : "/bin:/usr/bin";
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        const std::string dir = path.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == path.size()) {
            return "";
        }
        start = end + 1;
    }
}

// The file that program names (found in PATH when it has no "/") when it reads as a script: its
// first line has no NUL byte within the first 256 bytes. Empty otherwise: a binary for another
// machine, or a file the caller cannot read.
std::string scriptPath(const std::string& program) {
    const std::string path = program.find('/') != std::string::npos ? program : findInPath(program);
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return "";
    }
    char head[256];
    const ssize_t got = ::read(fd, head, sizeof head);
    (void)::close(fd);
    const std::string_view start(head, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    const bool text = start.substr(0, start.find('\n')).find('\0') == std::string_view::npos;
    return got >= 0 && text ? path : "";
}

// Starts the child. A program the system cannot run (ENOEXEC) that reads as a script without
// "#!" is run by /bin/sh with its path as the first argument, as the shells and execvp do.
Ostrel::Child startChild(const RunOptions& options) {
    const std::string& program = options.argv[0];
    const std::vector<std::string> args(options.argv.begin() + 1, options.argv.end());
    try {
        return Ostrel::Command(program)
            .args(args)
            .searchPath(program.find('/') == std::string::npos)
            .newProcessGroup(!options.foreground)
            .restoreSignals(false) // what the caller ignores stays ignored, as timeout(1) keeps it
            .start();
    } catch (const Ostrel::Command::Exception& e) {
        const std::string script = e.error() == ENOEXEC ? scriptPath(program) : "";
        if (script.empty()) {
            throw;
        }
        std::vector<std::string> shellArgs{script};
        shellArgs.insert(shellArgs.end(), args.begin(), args.end());
        return Ostrel::Command("/bin/sh")
            .args(std::move(shellArgs))
            .newProcessGroup(!options.foreground)
            .restoreSignals(false) // what the caller ignores stays ignored, as timeout(1) keeps it
            .start();
    }
}

// The exit code of a program that Command could not start, after its line on stderr.
int startFailure(const std::string& program, const Ostrel::Command::Exception& e) {
    printError("run", program + ": " + e.what());
    return startFailureCode(e.error());
}

// Milliseconds on the monotonic clock.
long long nowMs() {
    return static_cast<long long>(Ostrel::getMonotonicTime() * 1000.0);
}

// The monotonic time milliseconds from now; never when that is beyond LLONG_MAX.
long long after(long long milliseconds) {
    const long long now = nowMs();
    return milliseconds >= never - now ? never : now + milliseconds;
}

// One started child run to its end: the time limit applied, the signals caught passed on, the
// child reaped last, the tool's exit code given. Prints the "timed out" line, and with --verbose
// a line for each signal sent, on stderr. Not thread-safe.
class Supervision {
public:
    Supervision(Ostrel::Child& child, const RunOptions& options, const CaughtSignals& caught)
        : _child(child), _options(options), _caught(caught), _pidFd(child.pidFd()) {}
    Supervision(const Supervision&) = delete;
    Supervision& operator=(const Supervision&) = delete;

    // Waits for the child, reaps it and returns the tool's exit code. Throws
    // Command::Exception when the child cannot be reaped.
    int exitCode() {
        long long deadline = _options.timeoutMs == 0 ? never : after(_options.timeoutMs);
        bool timedOut = false;
        while (!childEnded()) {
            passCaught();
            if (deadline != never && nowMs() >= deadline) {
                send(timedOut ? SIGKILL : _options.signal);
                deadline =
                    timedOut || _options.signal == SIGKILL ? never : after(_options.killAfterMs);
                timedOut = true;
            } else {
                sleepUntil(deadline);
            }
        }
        if (timedOut && !_options.foreground) {
            deliver(SIGKILL); // what is left of the group
        }
        const Ostrel::ExitStatus status = _child.wait();
        if (!timedOut) {
            return status.shellCode();
        }
        const bool killed = status.signal == SIGKILL;
        printError("run", _options.argv[0] + ": timed out after " +
                              std::to_string(_options.timeoutMs) + " ms" +
                              (killed ? ", killed" : ""));
        return _options.preserveStatus ? status.shellCode()
               : killed                ? ExitSignalBase + SIGKILL
                                       : ExitTimedOut;
    }

private:
    // True once the child has ended (or is gone); it stays unreaped.
    bool childEnded() const noexcept {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(_child.id()), &info,
                        WEXITED | WNOHANG | WNOWAIT) == -1) {
            if (errno != EINTR) {
                return true; // nothing to wait for: wait() says why
            }
        }
        return info.si_pid != 0;
    }

    // Sleeps until the child ends, a signal is caught or deadline passes; without a process
    // descriptor, for at most the next step of 1, 2, 4 ... 50 ms.
    void sleepUntil(long long deadline) {
        long long limit = deadline == never ? -1 : std::max(deadline - nowMs(), 0LL);
        if (_pidFd == -1) {
            limit = limit < 0 || limit > _step ? _step : limit;
            _step = std::min(_step * 2, 50);
        }
        pollfd ready[2] = {{_caught.fd(), POLLIN, 0}, {_pidFd, POLLIN, 0}};
        (void)::poll(ready, 2, static_cast<int>(std::min<long long>(limit, INT_MAX)));
    }

    // Passes every signal caught on to the child. With --foreground, SIGINT, SIGQUIT or SIGHUP
    // from the terminal has reached the child already: the kernel sends it to the whole
    // foreground group.
    void passCaught() {
        for (int caught = _caught.take(); caught != 0; caught = _caught.take()) {
            const int signal = caught & ~fromKernel;
            const bool fromTerminal = (caught & fromKernel) != 0 &&
                                      (signal == SIGINT || signal == SIGQUIT || signal == SIGHUP);
            if (!_options.foreground || !fromTerminal) {
                send(signal);
            }
        }
    }

    // Sends signal, then SIGCONT so that a stopped child takes it (not after SIGKILL, which ends
    // a stopped process too).
    void send(int signal) {
        if (_options.verbose) {
            printError("run", _options.argv[0] + ": sending signal " + signalName(signal));
        }
        deliver(signal);
        if (signal != SIGKILL && signal != SIGCONT) {
            deliver(SIGCONT);
        }
    }

    // Sends signal to the child's group, and to the child itself when it has left the group; to
    // the child alone with --foreground. A process already gone cannot be signalled, which is
    // what the caller wants anyway.
    void deliver(int signal) noexcept {
        if (_options.foreground || ::getpgid(_child.id()) != _child.id()) {
            quietly([&] { _child.kill(signal); });
        }
        if (!_options.foreground) {
            quietly([&] { _child.killGroup(signal); });
        }
    }

    // Calls send, which fails only for a process already gone.
    template <class Send> static void quietly(Send send) noexcept {
        try {
            send();
        } catch (const Ostrel::Command::Exception&) {
        }
    }

    Ostrel::Child& _child;
    const RunOptions& _options;
    const CaughtSignals& _caught;
    int _pidFd;    // the Child's process descriptor, -1 where there is none; the Child owns it
    int _step = 1; // milliseconds, only without a process descriptor
};

} // namespace

int run(const Args& args) {
    const RunOptions options = parseRunArgs(args);
    const std::string& program = options.argv[0];
    try {
        defaultChildSignal();
        const CaughtSignals caught;
        std::cout.flush();
        std::optional<Ostrel::Child> child;
        try {
            child.emplace(startChild(options));
        } catch (const Ostrel::Command::Exception& e) {
            return startFailure(program, e);
        }
        return Supervision(*child, options, caught).exitCode();
    } catch (const RunFailure& e) {
        printError("run", e.message);
    } catch (const Ostrel::Command::Exception& e) {
        printError("run", program + ": " + e.what());
    }
    return ExitRunFailed;
}

} // namespace OstrelTool
