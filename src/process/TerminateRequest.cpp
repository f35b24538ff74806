#include <Ostrel/TerminateRequest.h>

#include "Messages.h"
#include "sync/Deadline.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace Ostrel {

namespace {

// The count is changed inside a signal handler: only a lock-free atomic is safe there.
static_assert(std::atomic<unsigned long>::is_always_lock_free);

} // namespace

TerminateRequest::Exception::Exception(const char* text, int error)
    : _message(internal::composeMessage(text, internal::errorText(error).c_str())) {}

TerminateRequest::Exception::~Exception() = default;

const char* TerminateRequest::Exception::what() const {
    return _message.c_str();
}

TerminateRequest::TerminateRequest() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == -1) {
        throw Exception("Cannot create termination request", errno);
    }
    _readFd = ends[0];
    _writeFd = ends[1];
}

TerminateRequest::~TerminateRequest() {
    if (Signal::_the.handler == this) {
        Signal::_the.removeSignalHandler(Signal::Terminate);
    }
    (void)::close(_readFd);
    (void)::close(_writeFd);
}

void TerminateRequest::signalReceived(Signal::SignalType /*type*/) {
    const int savedErrno = errno;
    _count.fetch_add(1);
    // A full pipe already holds requests not taken: this one merges with them.
    const char byte = 1;
    (void)!::write(_writeFd, &byte, 1);
    errno = savedErrno;
}

void TerminateRequest::wait() {
    while (!waitFor(1000000000UL)) {
    }
}

bool TerminateRequest::waitFor(unsigned long milliseconds) {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    for (;;) {
        char byte = 0;
        if (::read(_readFd, &byte, 1) == 1) {
            return true;
        }
        // EAGAIN: nothing there, or another thread took it first.
        const int left = internal::millisecondsUntil(deadline);
        if (left == 0) {
            return false;
        }
        pollfd ready{_readFd, POLLIN, 0};
        (void)::poll(&ready, 1, left);
    }
}

} // namespace Ostrel
