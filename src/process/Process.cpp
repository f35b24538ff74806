#include <Ostrel/Process.h>

#include "Messages.h"
#include "sync/Cancellation.h"

#include <cerrno>
#include <cstdlib>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Ostrel {

Process::Exception::Exception(const char* text, const char* detail)
    : _message(internal::composeMessage(text, detail)) {}

Process::Exception::~Exception() = default;

const char* Process::Exception::what() const {
    return _message.c_str();
}

// A cancellation during the wait would leave the child a zombie, or end the program through a
// destructor that may not throw: the wait completes first, and the cancellation acts after it.
Process::~Process() noexcept(false) {
    if (pid != -1) {
        internal::uncancelled([this] { (void)::waitpid(pid, nullptr, 0); });
    }
}

void Process::start(char* const* argv) {
    if (pid != -1) {
        throw Exception("Process is already running", nullptr);
    }
    pid = fork();
    if (pid == -1) {
        throw Exception("Cannot fork process", internal::errorText(errno).c_str());
    }
    if (pid == 0) {
        (void)execv(argv[0], argv);
        std::exit(-1);
    }
}

void Process::terminate(int code) {
    exitCode = code;
    if (pid == -1) {
        throw Exception("Process doesn't run", nullptr);
    }
    if (kill(pid, SIGKILL) != 0) {
        throw Exception("Cannot terminate process", internal::errorText(errno).c_str());
    }
}

int Process::join() {
    if (pid == -1) {
        throw Exception("Process doesn't run", nullptr);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == -1) {
        throw Exception("Cannot join process", internal::errorText(errno).c_str());
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : exitCode;
}

} // namespace Ostrel
