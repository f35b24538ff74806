#include <Ostrel/Process.h>
#include <Ostrel/Signal.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

using Ostrel::Signal;

namespace {

class Counter : public Signal::SignalHandler {
public:
    void signalReceived(Signal::SignalType type) override {
        if (type == Signal::Terminate) {
            ++count;
        }
    }
    volatile std::sig_atomic_t count = 0;
};

void ownHandler(int) {}

sighandler_t current(int signalNumber) {
    struct sigaction action {};
    sigaction(signalNumber, nullptr, &action);
    return action.sa_handler;
}

} // namespace

TEST(SignalTest, HandleSignalFollowsRegistration) {
    const int code = OstrelTest::runInChild([] {
        Counter counter;
        if (Signal::_the.handleSignal(Signal::Terminate)) {
            return 1;
        }
        Signal::_the.addSignalHandler(Signal::Terminate, counter);
        if (!Signal::_the.handleSignal(Signal::Terminate) || counter.count != 1) {
            return 2;
        }
        if (Signal::_the.handleSignal(static_cast<Signal::SignalType>(1)) || counter.count != 1) {
            return 3;
        }
        Signal::_the.removeSignalHandler(Signal::Terminate);
        Signal::_the.removeSignalHandler(Signal::Terminate); // harmless
        return Signal::_the.handleSignal(Signal::Terminate) ? 4 : 0;
    });
    EXPECT_EQ(code, 0);
}

TEST(SignalTest, OtherTypesChangeNothing) {
    const int code = OstrelTest::runInChild([] {
        Counter counter;
        const auto other = static_cast<Signal::SignalType>(3);
        Signal::_the.addSignalHandler(other, counter);
        if (Signal::_the.handler != nullptr || current(SIGTERM) != SIG_DFL) {
            return 1;
        }
        Signal::_the.addSignalHandler(Signal::Terminate, counter);
        Signal::_the.removeSignalHandler(other);
        return Signal::_the.handler == &counter && current(SIGTERM) != SIG_DFL ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
}

TEST(SignalTest, DispositionsRestoredExactly) {
    const int code = OstrelTest::runInChild([] {
        Counter counter;
        signal(SIGINT, ownHandler);
        signal(SIGTERM, SIG_DFL);
        Signal::_the.addSignalHandler(Signal::Terminate, counter);
        if (current(SIGINT) == ownHandler || current(SIGTERM) == SIG_DFL ||
            Signal::_the.oldIntHandler != ownHandler || Signal::_the.oldTermHandler != SIG_DFL) {
            return 1;
        }
        Signal::_the.removeSignalHandler(Signal::Terminate);
        if (current(SIGINT) != ownHandler || current(SIGTERM) != SIG_DFL ||
            Signal::_the.oldIntHandler != SIG_ERR || Signal::_the.oldTermHandler != SIG_ERR) {
            return 2;
        }
        // Register again: the then current dispositions are saved.
        signal(SIGTERM, SIG_IGN);
        Signal::_the.addSignalHandler(Signal::Terminate, counter);
        if (Signal::_the.oldTermHandler != SIG_IGN) {
            return 3;
        }
        Signal::_the.removeSignalHandler(Signal::Terminate);
        return current(SIGTERM) == SIG_IGN && current(SIGINT) == ownHandler ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

// Installing the catching function fails for SIGINT: nothing is saved for it, and nothing put
// back later; SIGTERM is caught and restored as usual.
TEST(SignalTest, FailedInstallationSavesAndRestoresNothing) {
    if (OstrelTest::threadSanitizerBuild) {
        GTEST_SKIP() << "its signal interceptor installs the handler itself, past the shim";
    }
    const int code = OstrelTest::runInChild([] {
        Counter counter;
        signal(SIGINT, ownHandler);
        ostrelFaultSet("signal:1:22");
        Signal::_the.addSignalHandler(Signal::Terminate, counter);
        ostrelFaultSet(nullptr);
        if (Signal::_the.oldIntHandler != SIG_ERR || Signal::_the.oldTermHandler != SIG_DFL ||
            current(SIGINT) != ownHandler) {
            return 1;
        }
        raise(SIGTERM);
        signal(SIGINT, SIG_IGN); // changed behind the dispatcher's back: stays so
        Signal::_the.removeSignalHandler(Signal::Terminate);
        return counter.count == 1 && current(SIGINT) == SIG_IGN && current(SIGTERM) == SIG_DFL ? 0
                                                                                               : 2;
    });
    EXPECT_EQ(code, 0);
}

TEST(SignalTest, TwoSigtermsBothCaught) {
    const int code = OstrelTest::runInChild([] {
        Counter counter;
        Signal::_the.addSignalHandler(Signal::Terminate, counter);
        raise(SIGTERM);
        raise(SIGTERM);
        raise(SIGINT);
        Signal::_the.removeSignalHandler(Signal::Terminate);
        return counter.count == 3 ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

TEST(SignalTest, SecondRegistrationRefusedVisibly) {
    const int code = OstrelTest::runInChild([] {
        Counter first;
        Counter second;
        signal(SIGINT, ownHandler);
        Signal::_the.addSignalHandler(Signal::Terminate, first);
        const std::string err = OstrelTest::captureStderr(
            [&] { Signal::_the.addSignalHandler(Signal::Terminate, second); });
        if (err != "Signal: addSignalHandler refused: a handler is already registered\n") {
            return 1;
        }
        raise(SIGTERM);
        if (first.count != 1 || second.count != 0 || Signal::_the.oldIntHandler != ownHandler) {
            return 2;
        }
        Signal::_the.removeSignalHandler(Signal::Terminate);
        return current(SIGINT) == ownHandler ? 0 : 3;
    });
    EXPECT_EQ(code, 0);
}

TEST(SignalTest, RestoredAtUnload) {
    const std::string helper =
        std::string(std::getenv("OSTREL_BUILD_DIR")) + "/bin/SignalUnloadHelper";
    const int code = OstrelTest::runInChild([&] {
        char* argv[] = {const_cast<char*>(helper.c_str()), nullptr};
        Ostrel::Process process;
        process.start(argv);
        return process.join();
    });
    EXPECT_EQ(code, 0);
}
