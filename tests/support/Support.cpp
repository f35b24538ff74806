#include "support/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <dirent.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace OstrelTest {

int runInChild(const std::function<int()>& body, int timeoutMs) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 99;
        }
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        _exit(code);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

namespace {

std::string captureFd(int fd, const std::function<void()>& fn) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    char name[] = "/tmp/ostrel-capture-XXXXXX";
    const int file = mkstemp(name);
    if (file < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    unlink(name);
    const int saved = dup(fd);
    dup2(file, fd);
    try {
        fn();
    } catch (...) {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        dup2(saved, fd);
        close(saved);
        close(file);
        throw;
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    std::string text;
    char buf[4096];
    lseek(file, 0, SEEK_SET);
    for (ssize_t n; (n = read(file, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(file);
    return text;
}

} // namespace

std::string captureStdout(const std::function<void()>& fn) {
    return captureFd(1, fn);
}
std::string captureStderr(const std::function<void()>& fn) {
    return captureFd(2, fn);
}

namespace {

std::mutex namesLock;
std::set<std::string>& names() {
    static std::set<std::string> given;
    return given;
}

} // namespace

std::string uniqueName(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    std::string name = prefix + std::to_string(getpid()) + "_" + std::to_string(counter++);
    const std::lock_guard<std::mutex> guard(namesLock);
    names().insert(name);
    return name;
}

std::multiset<std::string> ResourceSnapshot::current() {
    std::multiset<std::string> now;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(fds)) {
            const int fd = std::atoi(entry->d_name);
            if (entry->d_name[0] == '.' || fd == dirfd(fds)) {
                continue;
            }
            char target[4096] = "";
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
            target[length > 0 ? length : 0] = '\0';
            now.insert("descriptor " + std::string(entry->d_name) + " -> " + target);
        }
        closedir(fds);
    }
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const std::size_t path = line.find(" /dev/shm/");
        if (path != std::string::npos) {
            now.insert("mapping of" + line.substr(path));
        }
    }
    const std::lock_guard<std::mutex> guard(namesLock);
    for (const std::string& name : names()) {
        for (const std::string& file : {name, "sem." + name}) {
            if (access(("/dev/shm/" + file).c_str(), F_OK) == 0) {
                now.insert("object /dev/shm/" + file);
            }
        }
    }
    return now;
}

std::string ResourceSnapshot::check() const {
    const std::multiset<std::string> now = current();
    std::vector<std::string> added;
    std::set_difference(now.begin(), now.end(), held.begin(), held.end(),
                        std::back_inserter(added));
    std::string text;
    for (const std::string& item : added) {
        text += item + "\n";
    }
    return text;
}

bool ResourceSnapshot::unchanged() const {
    const std::string left = check();
    std::cerr << (left.empty() ? "" : "left behind:\n" + left);
    return left.empty();
}

namespace {

// The check every test program makes of itself (see ResourceSnapshot).
class LeakCheck : public testing::Environment {
public:
    void SetUp() override { before = std::make_unique<ResourceSnapshot>(); }
    void TearDown() override {
        EXPECT_EQ(before->check(), "") << "left behind by the tests of this program";
    }

private:
    std::unique_ptr<ResourceSnapshot> before;
};

[[maybe_unused]] testing::Environment* const leakCheck =
    testing::AddGlobalTestEnvironment(new LeakCheck);

} // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    _path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}

void TempDir::makeFile(const std::string& relative, const std::string& contents) const {
    const std::filesystem::path file = std::filesystem::path(_path) / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << contents;
}

void TempDir::makeDir(const std::string& relative) const {
    std::filesystem::create_directories(std::filesystem::path(_path) / relative);
}

} // namespace OstrelTest
