#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace OstrelTest {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

class LeakCheck : public testing::Environment {
    void SetUp() override { before = heldResources(); }
    void TearDown() override { EXPECT_EQ(heldResources(), before) << "left behind by the tests"; }
    std::string before;
};
[[maybe_unused]] testing::Environment* const leakCheck =
    testing::AddGlobalTestEnvironment(new LeakCheck);

} // namespace

std::string withError(const char* text, int error) {
    return std::string(text) + " - " + std::strerror(error);
}

void inChild(const std::function<void()>& body, int timeoutMs) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    const int code = waitForExit(pid, timeoutMs);
    EXPECT_EQ(code, 0) << "the exit code of the child (-1: killed after " << timeoutMs << " ms)";
}

int waitForExit(pid_t pid, int timeoutMs) {
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void runThreads(int n, const std::function<void(int)>& fn) {
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back(fn, i);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

std::string captureStdout(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

std::string captureStderr(const std::function<void()>& fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

SleepingThread::SleepingThread(std::function<void()> wait) : _wait(std::move(wait)) {
    start();
    EXPECT_TRUE(eventually(
        [&] {
            const std::string stat =
                _tid == 0 ? "" : readFile("/proc/self/task/" + std::to_string(_tid) + "/stat");
            const auto end = stat.rfind(") ");
            return end != std::string::npos && stat.compare(end + 2, 1, "S") == 0;
        },
        10000))
        << "the thread does not sleep";
}

SleepingThread::~SleepingThread() {
    if (running) {
        join();
    }
}

int SleepingThread::main() {
    _tid = gettid();
    _wait();
    return 0;
}

ToolRun runTool(const std::string& commandLine) {
    const TempDir files;
    const std::string command = "PATH=" + buildDir() + "/bin:$PATH; {\n" + commandLine + "\n} >" +
                                files.path + "/out 2>" + files.path + "/err";
    const int status = std::system(command.c_str());
    return {WEXITSTATUS(status), readFile(files.path + "/out"), readFile(files.path + "/err")};
}

std::string buildDir() {
    const char* dir = std::getenv("OSTREL_BUILD_DIR");
    return dir != nullptr ? dir : ".";
}

NamedObject::NamedObject()
    : name([] {
          static std::atomic<int> counter{0};
          return "ostrelTest" + std::to_string(getpid()) + "_" + std::to_string(counter++);
      }()) {}

NamedObject::~NamedObject() {
    shm_unlink(("/" + name).c_str());
    sem_unlink(("/" + name).c_str());
}

std::string heldResources() {
    const auto descriptors = std::distance(fs::directory_iterator("/proc/self/fd"), {}) - 1;
    std::ifstream maps("/proc/self/maps");
    int mappings = 0;
    for (std::string line; std::getline(maps, line);) {
        mappings += line.find(" /dev/shm/") != std::string::npos ? 1 : 0;
    }
    return std::to_string(descriptors) + " descriptors, " + std::to_string(mappings) +
           " mappings of shared memory";
}

TempDir::TempDir()
    : path([] {
          std::string pattern = (fs::temp_directory_path() / "ostrel-test-XXXXXX").string();
          return mkdtemp(pattern.data()) != nullptr ? pattern : "";
      }()) {}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void TempDir::makeFile(const std::string& relative, const std::string& contents) const {
    fs::create_directories((fs::path(path) / relative).parent_path());
    std::ofstream(fs::path(path) / relative) << contents;
}

} // namespace OstrelTest
