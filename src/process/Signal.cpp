#include <Ostrel/Signal.h>

#include <cerrno>
#include <cstdio>

namespace Ostrel {

namespace {

// The function installed for SIGINT and SIGTERM. It keeps errno for the interrupted code and
// installs itself again after the dispatch.
void signalHandler(int signalNumber) {
    const int savedErrno = errno;
    if (signalNumber == SIGINT || signalNumber == SIGTERM) {
        (void)Signal::_the.handleSignal(Signal::Terminate);
    }
    (void)signal(signalNumber, signalHandler);
    errno = savedErrno;
}

void restore(int signalNumber, sighandler_t& saved) noexcept {
    if (saved != SIG_ERR) {
        (void)signal(signalNumber, saved);
        saved = SIG_ERR;
    }
}

} // namespace

Signal Signal::_the;

Signal::Signal() noexcept : handler(nullptr), oldIntHandler(SIG_ERR), oldTermHandler(SIG_ERR) {}

Signal::~Signal() {
    restore(SIGINT, oldIntHandler);
    restore(SIGTERM, oldTermHandler);
}

void Signal::addSignalHandler(SignalType type, SignalHandler& h) {
    if (type != Terminate) {
        return;
    }
    if (handler != nullptr || oldIntHandler != SIG_ERR || oldTermHandler != SIG_ERR) {
        (void)std::fputs("Signal: addSignalHandler refused: a handler is already registered\n",
                         stderr);
        (void)std::fflush(stderr);
        return;
    }
    handler = &h;
    oldIntHandler = signal(SIGINT, signalHandler);
    oldTermHandler = signal(SIGTERM, signalHandler);
}

void Signal::removeSignalHandler(SignalType type) {
    if (type != Terminate) {
        return;
    }
    handler = nullptr;
    restore(SIGINT, oldIntHandler);
    restore(SIGTERM, oldTermHandler);
}

bool Signal::handleSignal(SignalType type) {
    SignalHandler* const current = handler;
    if (type != Terminate || current == nullptr) {
        return false;
    }
    current->signalReceived(type);
    return true;
}

} // namespace Ostrel
