// A program that shuts down cleanly on Ctrl-C (SIGINT) or SIGTERM through a TerminateRequest.
//
// The request is a Signal handler whose work inside the system's signal handler is only what is
// safe there (an atomic count and a byte written to a pipe). The main loop does one step of work
// at a time and asks the request between steps, waiting for it as long as a step takes instead of
// sleeping; when a request comes it finishes and returns normally, so destructors run and
// buffered output is flushed. The request stays registered until the program ends, so that no
// signal can arrive while it is being removed. The loop gives up after 30 seconds so that an
// unattended run cannot hang.
#include <Ostrel/Signal.h>
#include <Ostrel/TerminateRequest.h>

#include <iostream>

int main() {
    Ostrel::TerminateRequest stop;
    Ostrel::Signal::_the.addSignalHandler(Ostrel::Signal::Terminate, stop);
    std::cout << "working; press Ctrl-C to stop" << std::endl;

    int steps = 0;
    bool requested = false;
    while (!requested && steps < 3000) {
        requested = stop.waitFor(10); // one step of work: here, waiting 10 ms for a request
        ++steps;
    }

    if (!requested) {
        std::cerr << "no stop request within 30 seconds\n";
        return 1;
    }
    std::cout << "stop requested after " << steps << " steps (" << stop.count()
              << " signal(s)): shut down cleanly" << std::endl;
    return 0;
}
