#include <Ostrel/Command.h>

#include "Messages.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
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

// The posix_spawn attribute and file-action objects, destroyed when they go.
struct SpawnSetup {
    SpawnSetup() {
        (void)posix_spawnattr_init(&attr);
        (void)posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        (void)posix_spawn_file_actions_destroy(&actions);
        (void)posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
};

// Throws "Cannot run program" for a failed posix_spawn set-up call.
void check(int result) {
    if (result != 0) {
        throw Command::Exception("Cannot run program", result);
    }
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
    _streams[0] = {s, ""};
    return *this;
}

Command& Command::stdinFrom(std::string path) {
    _streams[0] = {Inherit, std::move(path)};
    return *this;
}

Command& Command::stdoutTo(Stream s) {
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

Child Command::start() const {
    SpawnSetup setup;
    // The child's end of each stream (closed here after the spawn) and the parent's pipe ends.
    std::array<Fd, 3> childEnds, parentEnds;
    for (int fd = 0; fd < 3; ++fd) {
        const Target& target = _streams[fd];
        if (!target.path.empty()) {
            const int flags = fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
            const int file = ::open(target.path.c_str(), flags | O_CLOEXEC, 0666);
            if (file == -1) {
                throw Exception("Cannot open file for child", errno);
            }
            childEnds[fd] = aboveStandard(file);
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
        } else if (target.stream == Null) {
            check(posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null",
                                                   fd == 0 ? O_RDONLY : O_WRONLY, 0));
        }
        if (childEnds[fd].get() != -1) {
            check(posix_spawn_file_actions_adddup2(&setup.actions, childEnds[fd].get(), fd));
        }
    }
    check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3));
    if (!_directory.empty()) {
        check(posix_spawn_file_actions_addchdir_np(&setup.actions, _directory.c_str()));
    }
    if (_newGroup) {
        check(posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP));
        check(posix_spawnattr_setpgroup(&setup.attr, 0));
    }

    std::vector<std::string> environment;
    std::vector<char*> envp;
    char* const* childEnv = environ;
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
        childEnv = envp.data();
    }

    const std::vector<char*> argv = pointersTo(_argv);
    pid_t pid = -1;
    const int result =
        _searchPath
            ? ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), childEnv)
            : ::posix_spawn(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), childEnv);
    if (result != 0) {
        throw Exception("Cannot run program", result);
    }
    return Child(pid, _newGroup, parentEnds[0].release(), parentEnds[1].release(),
                 parentEnds[2].release());
}

} // namespace Ostrel
