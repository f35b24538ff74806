#include "process/Talk.h"

#include <Ostrel/Command.h>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Ostrel::internal {

namespace {

sigset_t sigpipeSet() noexcept {
    sigset_t set;
    (void)::sigemptyset(&set);
    (void)::sigaddset(&set, SIGPIPE);
    return set;
}

void closeFd(int& fd) noexcept {
    if (fd != -1) {
        (void)::close(fd);
        fd = -1;
    }
}

// The bytes a pipe holds now, by either end; 0 when it cannot tell.
std::size_t bytesIn(int fd) noexcept {
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 && count > 0 ? static_cast<std::size_t>(count) : 0;
}

// Reads at most limit bytes from fd into text with one read; closes fd at end of file.
void readSome(int& fd, std::string& text, std::size_t limit) {
    char buffer[65536];
    const ssize_t got = ::read(fd, buffer, limit < sizeof buffer ? limit : sizeof buffer);
    if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
        closeFd(fd);
    } else if (errno != EINTR && errno != EAGAIN) {
        throw Command::Exception("Cannot read from child", errno);
    }
}

// Reads what fd holds now, without waiting for more, then closes it.
void drain(int& fd, std::string& text) {
    for (std::size_t left = fd == -1 ? 0 : bytesIn(fd); left > 0 && fd != -1;) {
        const std::size_t before = text.size();
        readSome(fd, text, left);
        const std::size_t got = text.size() - before;
        left -= got < left ? got : left;
    }
    closeFd(fd);
}

} // namespace

SigpipeShield::~SigpipeShield() {
    lower();
}

void SigpipeShield::raise() noexcept {
    if (_raised) {
        return;
    }
    const sigset_t pipe = sigpipeSet();
    sigset_t old;
    (void)::pthread_sigmask(SIG_BLOCK, &pipe, &old);
    sigset_t pending;
    (void)::sigemptyset(&pending);
    (void)::sigpending(&pending);
    _wasBlocked = ::sigismember(&old, SIGPIPE) == 1;
    _wasPending = ::sigismember(&pending, SIGPIPE) == 1;
    _raised = true;
}

void SigpipeShield::takeRaised() noexcept {
    if (!_raised || _wasPending) {
        return; // a pending SIGPIPE merges with the caller's, which stays for the caller
    }
    const sigset_t pipe = sigpipeSet();
    const timespec now{};
    while (::sigtimedwait(&pipe, nullptr, &now) == -1 && errno == EINTR) {
    }
}

void SigpipeShield::lower() noexcept {
    if (_raised && !_wasBlocked) {
        const sigset_t pipe = sigpipeSet();
        (void)::pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    }
    _raised = false;
}

Talk::Talk(int& in, int& out, int& err, std::string_view input, std::string& outText,
           std::string& errText)
    : _in(in), _out(out), _err(err), _input(input), _outText(outText), _errText(errText) {
    if (_in == -1) {
        return;
    }
    if (_input.empty()) {
        closeInput();
        return;
    }
    const int flags = ::fcntl(_in, F_GETFL);
    if (flags == -1 || ::fcntl(_in, F_SETFL, flags | O_NONBLOCK) == -1) {
        throw Command::Exception("Cannot write to child", errno);
    }
    _shield.raise();
}

Talk::~Talk() {
    if (_in != -1) {
        const int flags = ::fcntl(_in, F_GETFL);
        if (flags != -1) {
            (void)::fcntl(_in, F_SETFL, flags & ~O_NONBLOCK);
        }
    }
}

bool Talk::step(int processFd, int timeout) {
    // The pipes first, then the process descriptor, which owner leaves null.
    pollfd watched[4];
    int* owner[4] = {};
    nfds_t count = 0;
    for (int* fd : {&_in, &_out, &_err, static_cast<int*>(nullptr)}) {
        const int number = fd != nullptr ? *fd : processFd;
        if (number != -1) {
            owner[count] = fd;
            watched[count++] = pollfd{number, static_cast<short>(fd == &_in ? POLLOUT : POLLIN), 0};
        }
    }
    const int ready = ::poll(watched, count, timeout);
    if (ready <= 0) {
        if (ready == -1 && errno != EINTR) {
            throw Command::Exception("Cannot wait for child", errno);
        }
        return ready == 0;
    }
    bool look = false;
    for (nfds_t i = 0; i < count; ++i) {
        if (watched[i].revents == 0) {
            continue;
        }
        if (owner[i] == nullptr) {
            look = true;
        } else if (owner[i] == &_in) {
            write(); // POLLERR too: the reader has gone, and the write says so with EPIPE
        } else {
            readSome(*owner[i], owner[i] == &_out ? _outText : _errText, std::string::npos);
        }
    }
    return look;
}

void Talk::write() {
    const ssize_t put = ::write(_in, _input.data() + _written, _input.size() - _written);
    if (put >= 0) {
        _written += static_cast<std::size_t>(put);
        if (_written == _input.size()) {
            closeInput();
        }
    } else if (errno == EPIPE) {
        _shield.takeRaised();
        closeInput();
    } else if (errno != EAGAIN && errno != EINTR) {
        throw Command::Exception("Cannot write to child", errno);
    }
}

void Talk::closeInput() noexcept {
    // What is still in the pipe when the talk ends early never reached the child.
    const std::size_t unread = _written < _input.size() ? bytesIn(_in) : 0;
    _taken = _written - (unread < _written ? unread : _written);
    closeFd(_in);
    _shield.lower();
}

void Talk::finish() {
    if (_in != -1) {
        closeInput();
    }
    drain(_out, _outText);
    drain(_err, _errText);
}

} // namespace Ostrel::internal
