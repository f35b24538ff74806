// Started by SignalTest: loads libOstrel.so.1 with dlopen (it does not link the library), registers
// a handler on Signal::_the, closes the library and checks that SIGINT and SIGTERM have their
// former dispositions again. Exit code 0: unloaded and restored; 4: not restored; 5: the loader
// kept the library loaded, so its static objects were never destroyed.
#include <Ostrel/Signal.h>

#include <dlfcn.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void ownIntHandler(int) {}

class Handler : public Ostrel::Signal::SignalHandler {
public:
    void signalReceived(Ostrel::Signal::SignalType) override {}
};

Handler handler;

sighandler_t current(int signalNumber) {
    struct sigaction action {};
    sigaction(signalNumber, nullptr, &action);
    return action.sa_handler;
}

bool restored() {
    return current(SIGINT) == ownIntHandler && current(SIGTERM) == SIG_DFL;
}

} // namespace

int main() {
    signal(SIGINT, ownIntHandler);
    signal(SIGTERM, SIG_DFL);
    const char* build = std::getenv("OSTREL_BUILD_DIR");
    const std::string path = std::string(build != nullptr ? build : ".") + "/lib/libOstrel.so.1";
    void* library = dlopen(path.c_str(), RTLD_NOW);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        _exit(2);
    }
    using Add =
        void (*)(Ostrel::Signal*, Ostrel::Signal::SignalType, Ostrel::Signal::SignalHandler&);
    auto* the = static_cast<Ostrel::Signal*>(dlsym(library, "_ZN6Ostrel6Signal4_theE"));
    auto add = reinterpret_cast<Add>(dlsym(
        library, "_ZN6Ostrel6Signal16addSignalHandlerENS0_10SignalTypeERNS0_13SignalHandlerE"));
    if (the == nullptr || add == nullptr) {
        _exit(2);
    }
    add(the, Ostrel::Signal::Terminate, handler);
    if (current(SIGINT) == ownIntHandler || current(SIGTERM) == SIG_DFL) {
        _exit(3);
    }
    dlclose(library);
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        _exit(5);
    }
    _exit(restored() ? 0 : 4);
}
