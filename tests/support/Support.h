// What several test programs need.
#pragma once

#include <Ostrel/Thread.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace OstrelTest {

// ThreadSanitizer runs many times slower; AddressSanitizer keeps freed memory in quarantine.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool threadSanitizerBuild = true, addressSanitizerBuild = false;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr bool threadSanitizerBuild = false, addressSanitizerBuild = true;
#else
inline constexpr bool threadSanitizerBuild = false, addressSanitizerBuild = false;
#endif

// Built with OSTREL_FALLBACKS: the library takes the roads of older systems (no process
// descriptors; children start through its own launcher).
#if defined(OSTREL_FALLBACKS)
inline constexpr bool fallbacksBuild = true;
#else
inline constexpr bool fallbacksBuild = false;
#endif

// True under valgrind, which preloads its own libraries and runs a vfork-style clone as a fork.
inline bool underValgrind() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

// The message of the Exception that fn throws, or "(nothing thrown)".
template <class Exception, class Fn> std::string messageOf(Fn&& fn) {
    try {
        fn();
    } catch (const Exception& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

// The message of a failed call: text + " - " + the system's text of error.
std::string withError(const char* text, int error);

// Names the rows of a parameterised test by their member `name`.
struct RowName {
    template <class Info> std::string operator()(const Info& info) const { return info.param.name; }
};

// Runs body in a forked child, where failed assertions print and make the exit code 1: a child
// that fails, or still runs after timeoutMs (it is killed then), fails the calling test.
void inChild(const std::function<void()>& body, int timeoutMs = 20000);

// The exit code of child pid, 128 + the signal that ended it, or -1: killed after timeoutMs.
int waitForExit(pid_t pid, int timeoutMs);

// Polls pred every millisecond until it holds (true) or ms milliseconds have passed (false).
template <class Pred> bool eventually(Pred pred, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The milliseconds fn takes, on the monotonic clock.
template <class Fn> double millisecondsOf(Fn fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Runs fn(0) ... fn(n - 1) on n threads at once and joins them.
void runThreads(int n, const std::function<void(int)>& fn);

// What fn writes on the standard output or error descriptor.
std::string captureStdout(const std::function<void()>& fn);
std::string captureStderr(const std::function<void()>& fn);

// A Thread whose body runs wait(); the constructor returns once the body sleeps in the system
// (state S: a wait, a join, a blocking call), so that a terminate() finds it there.
class SleepingThread : public Ostrel::Thread {
public:
    explicit SleepingThread(std::function<void()> wait);
    ~SleepingThread() override;
    SleepingThread(const SleepingThread&) = delete;
    SleepingThread& operator=(const SleepingThread&) = delete;
    int main() override;

private:
    std::function<void()> _wait;
    std::atomic<pid_t> _tid{0};
};

// The exit code and output of a shell command line; "ostrel" is the tool of the build tree.
struct ToolRun {
    int code;
    std::string out;
    std::string err;
};
ToolRun runTool(const std::string& commandLine);
std::string buildDir();

// A unique name; the shared memory and semaphore of that name are removed when it goes.
struct NamedObject {
    NamedObject();
    ~NamedObject();
    NamedObject(const NamedObject&) = delete;
    NamedObject& operator=(const NamedObject&) = delete;
    const char* c_str() const { return name.c_str(); }
    const std::string name;
};

// The descriptors and shared-memory mappings held, as a text; every program checks it at its end.
std::string heldResources();

// A fresh directory, removed with all it holds.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    void makeFile(const std::string& relative, const std::string& contents = "") const;
    const std::string path;
};

} // namespace OstrelTest
