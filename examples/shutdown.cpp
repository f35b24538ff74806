// A program that shuts down cleanly on Ctrl-C (SIGINT) or SIGTERM through Signal.
//
// The handler object runs inside the system's signal handler, so it only sets a flag of type
// volatile std::sig_atomic_t; the main loop sees the flag, finishes its current step, removes
// the handler (which puts back the signals' previous dispositions) and returns normally, so
// destructors run and buffered output is flushed. The loop gives up after 30 seconds so that an
// unattended run cannot hang.
#include <Ostrel/Signal.h>
#include <Ostrel/Thread.h>

#include <csignal>
#include <iostream>

namespace {
class StopRequest : public Ostrel::Signal::SignalHandler {
public:
    void signalReceived(Ostrel::Signal::SignalType) override {
        requested = 1; // async-signal-safe: no allocation, no stdio, no locks
    }
    volatile std::sig_atomic_t requested = 0;
};
} // namespace

int main() {
    StopRequest stop;
    Ostrel::Signal::_the.addSignalHandler(Ostrel::Signal::Terminate, stop);
    std::cout << "working; press Ctrl-C to stop" << std::endl;

    int steps = 0;
    while (!stop.requested && steps < 3000) {
        Ostrel::Thread::sleep(10); // one step of work
        ++steps;
    }

    Ostrel::Signal::_the.removeSignalHandler(Ostrel::Signal::Terminate);
    if (!stop.requested) {
        std::cerr << "no stop request within 30 seconds\n";
        return 1;
    }
    std::cout << "stop requested after " << steps << " steps: shut down cleanly" << std::endl;
    return 0;
}
