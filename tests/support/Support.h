// Helpers shared by the test programs.
#pragma once

#include <chrono>
#include <functional>
#include <set>
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
// The name is remembered (in this process and the children it forks later) for ResourceSnapshot.
std::string uniqueName(const std::string& prefix);

// What the process holds that a test could leave behind: its open descriptors (/proc/self/fd,
// with their targets), its mappings of shared-memory objects and named semaphores (/dev/shm in
// /proc/self/maps, counted), and the objects in /dev/shm named by uniqueName (shared memory
// "name", semaphore "sem.name"). check() lists, one per line, what is held now and was not when the
// snapshot was taken: "" when nothing was left behind. Reading /proc passes through the fault shim
// (opendir, close...): take and check snapshots while no fault rule is set.
//
// Every test program also checks itself: a snapshot taken before its first test is checked after
// its last one, and anything new fails the run (under ctest, every test is a run of its own).
// Failure paths run in forked children, where the test takes and checks a snapshot itself.
class ResourceSnapshot {
public:
    ResourceSnapshot() : held(current()) {}
    std::string check() const;
    // True when check() finds nothing; otherwise prints what it found on standard error.
    bool unchanged() const;

private:
    static std::multiset<std::string> current();
    std::multiset<std::string> held;
};

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
