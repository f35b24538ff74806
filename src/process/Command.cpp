#include <Ostrel/Command.h>

#include "Messages.h"
#include "process/Launcher.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

extern char** environ;

namespace Ostrel {

namespace {

// A descriptor closed when it goes unless released.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : _fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : _fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset();
        _fd = other.release();
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return _fd; }
    int release() noexcept { return std::exchange(_fd, -1); }
    void reset() noexcept {
        if (_fd != -1) {
            (void)::close(_fd);
            _fd = -1;
        }
    }

private:
    int _fd = -1;
};

// fd moved above the standard descriptors: a pipe or file that the caller got as 0, 1 or 2
// (one of its own standard streams being closed) would otherwise be overwritten by the dup2 of
// another stream in the child.
Fd aboveStandard(int fd) {
    Fd result(fd);
    if (fd >= 0 && fd <= 2) {
        result = Fd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
        if (result.get() == -1) {
            throw Command::Exception("Cannot run program", errno);
        }
    }
    return result;
}

// Holds off thread cancellation while it lives, so that a start leaves nothing half-made.
class NoCancellation {
public:
    NoCancellation() noexcept { (void)pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &_old); }
    ~NoCancellation() { (void)pthread_setcancelstate(_old, nullptr); }
    NoCancellation(const NoCancellation&) = delete;
    NoCancellation& operator=(const NoCancellation&) = delete;

private:
    int _old = PTHREAD_CANCEL_ENABLE;
};

// Throws for ToStdout given to standard input or output.
void checkNotToStdout(Command::Stream s) {
    if (s == Command::ToStdout) {
        throw Command::Exception("Only standard error can go to standard output", EINVAL);
    }
}

// open(), again after an interruption (a FIFO waits for its other end).
int openForChild(const std::string& path, int flags) {
    int fd = -1;
    while ((fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666)) == -1 && errno == EINTR) {
    }
    if (fd == -1) {
        throw Command::Exception("Cannot open file for child", errno);
    }
    return fd;
}

// environment ("name=value" entries) with every entry of name removed, and then name=value
// added unless value is null.
void edit(std::vector<std::string>& environment, const std::string& name,
          const std::string* value) {
    const std::string prefix = name + "=";
    environment.erase(std::remove_if(environment.begin(), environment.end(),
                                     [&](const std::string& entry) {
                                         return entry.compare(0, prefix.size(), prefix) == 0;
                                     }),
                      environment.end());
    if (value != nullptr) {
        environment.push_back(prefix + *value);
    }
}

// Throws for a name that no environment entry can carry: empty, or holding "=" or a null byte.
void checkName(const std::string& name) {
    if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) {
        throw Command::Exception("Invalid environment variable name", EINVAL);
    }
}

// The null-terminated vector of pointers into strings.
std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (const auto& text : strings) {
        result.push_back(const_cast<char*>(text.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

Command::Exception::Exception(const char* text, int error)
    : _message(internal::composeMessage(text,
                                        error == 0 ? nullptr : internal::errorText(error).c_str())),
      _error(error) {}

Command::Exception::~Exception() = default;

const char* Command::Exception::what() const {
    return _message.c_str();
}

Command::Command(std::string program) {
    _argv.push_back(std::move(program));
}

Command& Command::arg(std::string value) {
    _argv.push_back(std::move(value));
    return *this;
}

Command& Command::args(std::vector<std::string> values) {
    for (auto& value : values) {
        _argv.push_back(std::move(value));
    }
    return *this;
}

Command& Command::env(std::string name, std::string value) {
    checkName(name);
    _envEdits.push_back({std::move(name), std::move(value), true});
    return *this;
}

Command& Command::unsetEnv(std::string name) {
    checkName(name);
    _envEdits.push_back({std::move(name), "", false});
    return *this;
}

Command& Command::clearEnv() {
    _envEdits.clear();
    _envEdits.push_back({"", "", false});
    return *this;
}

Command& Command::directory(std::string path) {
    _directory = std::move(path);
    return *this;
}

Command& Command::searchPath(bool on) {
    _searchPath = on;
    return *this;
}

Command& Command::newProcessGroup(bool on) {
    _newGroup = on;
    return *this;
}

Command& Command::stdinFrom(Stream s) {
    checkNotToStdout(s);
    _streams[0] = {s, ""};
    return *this;
}

Command& Command::stdinFrom(std::string path) {
    _streams[0] = {Inherit, std::move(path)};
    return *this;
}

Command& Command::stdoutTo(Stream s) {
    checkNotToStdout(s);
    _streams[1] = {s, ""};
    return *this;
}

Command& Command::stdoutTo(std::string path) {
    _streams[1] = {Inherit, std::move(path)};
    return *this;
}

Command& Command::stderrTo(Stream s) {
    _streams[2] = {s, ""};
    return *this;
}

Command& Command::stderrTo(std::string path) {
    _streams[2] = {Inherit, std::move(path)};
    return *this;
}

Command& Command::newSession(bool on) {
    _newSession = on;
    return *this;
}

Command& Command::restoreSignals(bool on) {
    _restoreSignals = on;
    return *this;
}

Command& Command::dieWithParent(int signal) {
    if (signal < 0 || signal >= NSIG) {
        throw Exception("Invalid signal number", EINVAL);
    }
    _deathSignal = signal;
    return *this;
}

Command& Command::passFd(int parentFd, int childFd) {
    if (childFd < 3) {
        throw Exception("Cannot pass descriptor to child", EINVAL);
    }
    const auto same = [childFd](const std::pair<int, int>& pass) { return pass.second == childFd; };
    _passed.erase(std::remove_if(_passed.begin(), _passed.end(), same), _passed.end());
    _passed.emplace_back(parentFd, childFd);
    return *this;
}

Child Command::start() const {
    const NoCancellation noCancellation;
    internal::ChildSetup setup;
    // The passed descriptors first, while a closed one cannot yet be taken by a pipe below:
    // copies above every target, so that no copy onto a target lands on a source still needed.
    int highest = 2;
    for (const auto& [parentFd, childFd] : _passed) {
        highest = std::max(highest, childFd);
    }
    std::vector<Fd> sources;
    for (const auto& [parentFd, childFd] : _passed) {
        // As a long: a childFd of INT_MAX must fail (EINVAL), not overflow.
        sources.emplace_back(::fcntl(parentFd, F_DUPFD_CLOEXEC, static_cast<long>(highest) + 1));
        if (sources.back().get() == -1) {
            throw Exception("Cannot pass descriptor to child", errno);
        }
        setup.passed.emplace_back(sources.back().get(), childFd);
    }
    // The child's end of each stream (closed here after the start) and the parent's pipe ends.
    std::array<Fd, 3> childEnds, parentEnds;
    for (int fd = 0; fd < 3; ++fd) {
        const Target& target = _streams[fd];
        if (!target.path.empty()) {
            childEnds[fd] = aboveStandard(
                openForChild(target.path, fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC));
        } else if (target.stream == Pipe) {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) == -1) {
                throw Exception("Cannot run program", errno);
            }
            Fd readEnd(ends[0]), writeEnd(ends[1]);
            readEnd = aboveStandard(readEnd.release());
            writeEnd = aboveStandard(writeEnd.release());
            // The child reads its standard input and writes the other two.
            Fd& childEnd = fd == 0 ? readEnd : writeEnd;
            Fd& parentEnd = fd == 0 ? writeEnd : readEnd;
            childEnds[fd] = std::move(childEnd);
            parentEnds[fd] = std::move(parentEnd);
        }
        setup.streams[fd].null = target.path.empty() && target.stream == Null;
        setup.streams[fd].source = childEnds[fd].get();
    }
    if (_streams[2].path.empty() && _streams[2].stream == ToStdout) {
        setup.streams[2].source = 1; // the child's standard output, as set up just before
    }

    std::vector<std::string> environment;
    std::vector<char*> envp;
    setup.envp = environ;
    if (!_envEdits.empty()) {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            environment.emplace_back(*entry);
        }
        for (const EnvEdit& change : _envEdits) {
            if (change.name.empty()) {
                environment.clear();
            } else {
                edit(environment, change.name, change.set ? &change.value : nullptr);
            }
        }
        envp = pointersTo(environment);
        setup.envp = envp.data();
    }
    setup.argv = pointersTo(_argv);
    setup.searchPath = _searchPath;
    setup.directory = _directory.empty() ? nullptr : _directory.c_str();
    setup.newGroup = _newGroup;
    setup.newSession = _newSession;
    setup.restoreSignals = _restoreSignals;
    setup.deathSignal = _deathSignal;

    const pid_t pid =
        internal::spawnCanStart(setup) ? internal::spawnChild(setup) : internal::launchChild(setup);
    return Child(pid, _newGroup || _newSession, parentEnds[0].release(), parentEnds[1].release(),
                 parentEnds[2].release());
}

} // namespace Ostrel
