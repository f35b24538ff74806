#include <Ostrel/Child.h>

#include <Ostrel/Command.h>

#include "Messages.h"
#include "process/Talk.h"
#include "sync/Deadline.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Ostrel {

namespace {

// How a child ended, from the status that waitpid reports: the one place that decodes it.
ExitStatus decode(int status) {
    ExitStatus result;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
        result.coreDumped = WCOREDUMP(status);
    }
    return result;
}

#if defined(SYS_pidfd_open)
constexpr long pidfdOpenCall = SYS_pidfd_open;
#else
constexpr long pidfdOpenCall = 434; // the same on every architecture
#endif

// A process file descriptor of pid (close-on-exec), or -1 where the system gives none: no such
// call (Linux before 5.3, valgrind), a seccomp filter's EPERM, no descriptor left (EMFILE,
// ENFILE), or a child the system has already reaped (SIGCHLD ignored). The system call directly:
// the C library's function is recent, and its header lacks C linkage in some versions.
int openPidFd(pid_t pid) noexcept {
#if defined(OSTREL_FALLBACKS)
    (void)pid;
    return -1;
#else
    const long fd = ::syscall(pidfdOpenCall, pid, 0);
    return fd < 0 ? -1 : static_cast<int>(fd);
#endif
}

void closeFd(int& fd) noexcept {
    if (fd != -1) {
        (void)::close(fd);
        fd = -1;
    }
}

// Reads fd until end of file, then closes it.
std::string readAll(int& fd) {
    std::string result;
    char buffer[65536];
    while (fd != -1) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            result.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            closeFd(fd);
        } else if (errno != EINTR) {
            throw Command::Exception("Cannot read from child", errno);
        }
    }
    return result;
}

} // namespace

int ExitStatus::shellCode() const noexcept {
    return exited ? code : 128 + signal;
}

Child::Child(pid_t pid, bool ownGroup, int stdinFd, int stdoutFd, int stderrFd) noexcept
    : _pid(pid), _ownGroup(ownGroup), _pidfd(openPidFd(pid)), _stdin(stdinFd), _stdout(stdoutFd),
      _stderr(stderrFd) {}

Child::~Child() {
    release();
}

Child::Child(Child&& other) noexcept
    : _pid(std::exchange(other._pid, -1)), _ownGroup(other._ownGroup),
      _waited(std::exchange(other._waited, false)), _status(other._status),
      _pidfd(std::exchange(other._pidfd, -1)), _stdin(std::exchange(other._stdin, -1)),
      _stdout(std::exchange(other._stdout, -1)), _stderr(std::exchange(other._stderr, -1)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        release();
        _pid = std::exchange(other._pid, -1);
        _ownGroup = other._ownGroup;
        _waited = std::exchange(other._waited, false);
        _status = other._status;
        _pidfd = std::exchange(other._pidfd, -1);
        _stdin = std::exchange(other._stdin, -1);
        _stdout = std::exchange(other._stdout, -1);
        _stderr = std::exchange(other._stderr, -1);
    }
    return *this;
}

void Child::release() noexcept {
    closeFd(_stdin);
    closeFd(_stdout);
    closeFd(_stderr);
    closeFd(_pidfd);
    if (_pid != -1 && !_waited) {
        while (::waitpid(_pid, nullptr, 0) == -1 && errno == EINTR) {
        }
    }
    _pid = -1;
}

ExitStatus Child::reap(int status) {
    _waited = true;
    _status = decode(status);
    return _status;
}

ExitStatus Child::wait() {
    if (_waited) {
        return _status;
    }
    if (_pid == -1) {
        throw Command::Exception("Cannot wait for child", ECHILD); // not waitpid(-1): any child
    }
    int status = 0;
    while (::waitpid(_pid, &status, 0) == -1) {
        if (errno != EINTR) {
            throw Command::Exception("Cannot wait for child", errno);
        }
    }
    return reap(status);
}

std::optional<ExitStatus> Child::waitFor(unsigned long milliseconds) {
    if (_waited) {
        return _status;
    }
    if (_pid == -1) {
        throw Command::Exception("Cannot wait for child", ECHILD);
    }
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    int pollSteps = 1; // milliseconds, only without process descriptors
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(_pid, &status, WNOHANG);
        if (got == _pid) {
            return reap(status);
        }
        if (got == -1 && errno != EINTR) {
            throw Command::Exception("Cannot wait for child", errno);
        }
        const int left = internal::millisecondsUntil(deadline);
        if (left == 0) {
            return std::nullopt;
        }
        if (_pidfd == -1) {
            // No process descriptor: short sleeps instead, 1 ms growing to 50 ms.
            pollSteps = pollSteps < 50 ? pollSteps * 2 : 50;
            (void)::poll(nullptr, 0, left < pollSteps ? left : pollSteps);
            continue;
        }
        pollfd ready{_pidfd, POLLIN, 0};
        if (::poll(&ready, 1, left) == -1 && errno != EINTR) {
            throw Command::Exception("Cannot wait for child", errno);
        }
    }
}

void Child::kill(int signal) {
    if (_pid == -1 || _waited) {
        throw Command::Exception("Cannot signal child", ESRCH);
    }
    if (::kill(_pid, signal) == -1) {
        throw Command::Exception("Cannot signal child", errno);
    }
}

void Child::killGroup(int signal) {
    if (!_ownGroup || _pid == -1) {
        throw Command::Exception("Child has no process group of its own", 0);
    }
    if (::kill(-_pid, signal) == -1) {
        throw Command::Exception("Cannot signal child", errno);
    }
}

void Child::closeStdin() noexcept {
    closeFd(_stdin);
}

std::string Child::readStdout() {
    return readAll(_stdout);
}

std::string Child::readStderr() {
    return readAll(_stderr);
}

Child::Output Child::communicate(std::string_view input) {
    return communicateFor(ULONG_MAX, input);
}

Child::Output Child::communicateFor(unsigned long milliseconds, std::string_view input) {
    if (_pid == -1 && !_waited) {
        throw Command::Exception("Cannot wait for child", ECHILD);
    }
    if (!input.empty() && _stdin == -1) {
        throw Command::Exception("Child has no input pipe", 0);
    }
    const bool limited = milliseconds != ULONG_MAX;
    const timespec deadline = internal::monotonicDeadline(limited ? milliseconds : 0);
    Output output;
    internal::Talk talk(_stdin, _stdout, _stderr, input, output.out, output.err);
    // -1 where the system gives none: the loop then looks at the child after short sleeps that
    // grow to 50 ms.
    const int processFd = _waited ? -1 : _pidfd;
    int nap = 0; // milliseconds between looks at a child without a process descriptor
    bool look = false;
    for (bool first = true;; first = false) {
        const int left = limited ? internal::millisecondsUntil(deadline) : -1;
        if ((look || left == 0) && !_waited) {
            int status = 0;
            const pid_t got = ::waitpid(_pid, &status, WNOHANG);
            if (got == _pid) {
                (void)reap(status);
            } else if (got == -1) {
                throw Command::Exception("Cannot wait for child", errno);
            }
        }
        if (!talk.pipesOpen() && (_waited || !limited)) {
            break; // without a limit, wait() below sleeps until the child ends
        }
        if (left == 0 && !first) {
            output.timedOut = true;
            break;
        }
        int timeout = left;
        if (!_waited && processFd == -1) {
            nap = std::min(nap == 0 ? 1 : nap * 2, 50);
            timeout = left == -1 ? nap : std::min(left, nap);
        }
        look = talk.step(_waited ? -1 : processFd, timeout);
    }
    if (output.timedOut) {
        if (!_waited) {
            // The child's group first: the child itself is signalled too, in case it left it.
            if (_ownGroup) {
                (void)::kill(-_pid, SIGKILL);
            }
            if (::kill(_pid, SIGKILL) == -1) {
                throw Command::Exception("Cannot signal child", errno);
            }
            (void)wait(); // SIGKILL ends it at once; what it wrote before is in the pipes now
        }
        talk.finish();
    }
    output.inputWritten = talk.inputTaken();
    output.status = wait();
    return output;
}

} // namespace Ostrel
