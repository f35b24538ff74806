// Helpers shared by the test programs.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace OstrelTest {

// ThreadSanitizer's interceptors for a few calls (pthread_create) reach the C library by symbol
// version, past the fault shim: failures of those calls cannot be injected in that build.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool threadSanitizerBuild = true;
#else
inline constexpr bool threadSanitizerBuild = false;
#endif

// Runs body in a forked child and returns its exit code (body's result). A child that is killed
// by a signal gives 128 + the signal number; one still running after timeoutMs is killed and
// gives -1. The child leaves with _exit, running no static destructor of the parent's state.
int runInChild(const std::function<int()>& body, int timeoutMs = 20000);

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

// What fn wrote on standard output (fd 1, C stdio and std::cout alike), or standard error.
std::string captureStdout(const std::function<void()>& fn);
std::string captureStderr(const std::function<void()>& fn);

// A name unique to this process and call, for named system objects: prefix + pid + counter.
std::string uniqueName(const std::string& prefix);

// A fresh directory under the temporary directory, removed with all it holds on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return _path; }
    // Creates the directories leading to relative and an empty (or given) file there.
    void makeFile(const std::string& relative, const std::string& contents = "") const;
    void makeDir(const std::string& relative) const;

private:
    std::string _path;
};

} // namespace OstrelTest
