// Dir, SysInfo, FileLocator, DynamicLibrary and FileWatcher: paths, the system record, files,
// libraries and changes to files.
#include <Ostrel/Dir.h>
#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/FileLocator.h>
#include <Ostrel/FileWatcher.h>
#include <Ostrel/Files.h>
#include <Ostrel/SysInfo.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>

#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Ostrel;
using OstrelTest::captureStderr;
using Paths = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

TEST(Dir, NormalisesEveryComponent) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/local/../lib", "/usr/lib/"}, {"a//b/./c/", "a/b/c/"}, {"/../x", "/x/"},
        {"../../a", "a/"}, {"a/..", ""}, {"a/b/../..", ""}, {".", ""}, {"", ""}, {"///", "/"},
        {"/..", "/"}, {"x", "x/"}, {"//a//b", "/a/b/"}, {"/a/b/c/../../d", "/a/d/"},
        {"a/.../.x/", "a/.../.x/"}, {"..a/b..", "..a/b../"}, {"./..", ""}, {"..", ""},
        {"/a/b/..", "/a/"}, {"a/./../b", "b/"}, {"/x/.a/..b/./", "/x/.a/..b/"},
        {"/a/very-long-component-name-of-forty-chars/b", "/a/very-long-component-name-of-forty-chars/b/"},
        {"/a/very-long-component-name-of-forty-chars/..", "/a/"}};
    // clang-format on
    for (const auto& [before, after] : cases) {
        Dir dir(before);
        dir.fixProp(Dir::Normalize);
        EXPECT_EQ(dir.path, after) << before;
        dir.fixProp(Dir::Normalize);
        EXPECT_EQ(dir.path, after) << "normalised twice: " << before;
    }
}

TEST(Dir, EditsAppendASeparatorAndNormaliseOnRequest) {
    Dir dir("junk");
    dir.setPath("/opt//app/bin/prog", Dir::AsGiven);
    dir.changePathUp(Dir::AsGiven);
    dir.changePath("lib", Dir::AsGiven);
    EXPECT_EQ(dir.path, "/opt//app/bin/prog/../lib/");
    dir.changePathUp(Dir::Normalize);
    EXPECT_EQ(dir.path, "/opt/app/bin/");
    dir.changePath("/x", Dir::Normalize);
    EXPECT_EQ(dir.path, "/opt/app/bin/x/");
    dir.setPath("a//b", Dir::Normalize);
    EXPECT_EQ(dir.path, "a/b/");
    Dir missing("/nonexistent//x/./");
    EXPECT_FALSE(missing.isValid(Dir::Normalize));
    EXPECT_EQ(missing.path, "/nonexistent/x/");
    EXPECT_TRUE(Dir("/").isValid(Dir::AsGiven));
    EXPECT_FALSE(Dir("/proc/self/exe").isValid(Dir::AsGiven));
}

// Only entries that the reader reports as directories are descended into: a link is a match.
TEST(Dir, ScanMatchesEveryEntryButDirectories) {
    const OstrelTest::TempDir tmp;
    for (const char* file : {"a.png", "b.txt", ".hidden.png", "sub/c.png", "sub/deep/d.png",
                             ".d/e.png", "..x/f.png", "dir.png/g"}) {
        tmp.makeFile(file);
    }
    ASSERT_EQ(symlink((tmp.path + "/sub").c_str(), (tmp.path + "/link.png").c_str()), 0);
    // The paths found below dir, relative to the tree and sorted.
    const auto scan = [&](const std::string& dir, const char* pattern, bool recursive) {
        Paths found = Dir(dir).scan(pattern, recursive);
        for (auto& path : found) {
            path.erase(0, path.rfind(tmp.path + "/", 0) == 0 ? tmp.path.size() + 1 : 0);
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    EXPECT_EQ(scan(tmp.path, "*.png", false), (Paths{".hidden.png", "a.png", "link.png"}));
    EXPECT_EQ(scan(tmp.path + "/", "*.png", true),
              (Paths{"..x/f.png", ".d/e.png", ".hidden.png", "a.png", "link.png", "sub/c.png",
                     "sub/deep/d.png"}));
    EXPECT_EQ(scan(tmp.path, "[ab].*", true), (Paths{"a.png", "b.txt"}));
    EXPECT_EQ(scan(tmp.path, "sub/c.png", true), Paths{});
    EXPECT_EQ(Dir(tmp.path + "//").scan("b.txt", false), Paths{tmp.path + "//b.txt"});
    Paths found{"kept"};
    EXPECT_EQ(Dir(tmp.path).scan(found, "b.txt", true), 2);
    EXPECT_EQ(Dir(tmp.path + "/b.txt").scan(found, "*", true), 2);
    EXPECT_EQ(found, (Paths{"kept", tmp.path + "/b.txt"}));
}

// What a shell command prints.
std::string outputOf(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
        text += static_cast<char>(c);
    }
    pclose(pipe);
    return text;
}

// The components of a path.
Paths componentsOf(const std::string& path) {
    Paths parts{""};
    for (const char c : path) {
        if (c == '/') {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

// A tree with a hidden directory, a link to a directory and a link to an ancestor; every option
// of scanWith, as rows whose results are relative to the tree and in order.
TEST(Dir, ScanWithOptions) {
    const OstrelTest::TempDir tmp;
    for (const char* file : {"b/z", "b/a", "b/d/x", "a/y", "m", ".h", "C.txt", ".d/e"}) {
        tmp.makeFile(file);
    }
    ASSERT_EQ(symlink("..", (tmp.path + "/a/up").c_str()), 0);
    ASSERT_EQ(symlink("b", (tmp.path + "/lb").c_str()), 0);
    const Dir dir(tmp.path);
    const auto scan = [&](Dir::ScanOptions options, const char* pattern = "*") {
        Paths found = dir.scanWith(pattern, options);
        for (auto& path : found) {
            path.erase(0, tmp.path.size() + 1);
        }
        return found;
    };
    const Paths all{".d/e", ".h", "C.txt", "a/up", "a/y", "b/a", "b/d/x", "b/z", "lb", "m"};
    struct Row {
        const char* name;
        Dir::ScanOptions options;
        const char* pattern;
        Paths found;
    };
    // clang-format off
    const Row rows[] = {
        {"sorted", {true, true}, "*", all},
        {"one level", {true, true, false, false, 0, 1}, "*", {".h", "C.txt", "lb", "m"}},
        {"not recursive", {false, true, false, false, 0, 5}, "*", {".h", "C.txt", "lb", "m"}},
        {"two levels", {true, true, false, false, 0, 2}, "*",
         {".d/e", ".h", "C.txt", "a/up", "a/y", "b/a", "b/z", "lb", "m"}},
        {"links followed, the loop listed", {true, true, false, true}, "*",
         {".d/e", ".h", "C.txt", "a/up", "a/y", "b/a", "b/d/x", "b/z", "lb/a", "lb/d/x", "lb/z",
          "m"}},
        {"hidden names unmatched, hidden directories entered", {true, true, false, false, FNM_PERIOD},
         "*", {".d/e", "C.txt", "a/up", "a/y", "b/a", "b/d/x", "b/z", "lb", "m"}},
        {"case folded", {true, true, false, false, FNM_CASEFOLD}, "c.*", {"C.txt"}},
        {"three levels", {true, true, false, false, 0, 3}, "x", {"b/d/x"}},
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(scan(row.options, row.pattern), row.found) << row.name;
    }
    EXPECT_EQ(dir.scanWith("*", {}), Dir(tmp.path).scan("*", true));
    // Sorted is the unsorted result ordered by component, directory by directory.
    Paths unsorted = scan({true, false, false, true});
    std::sort(unsorted.begin(), unsorted.end(),
              [](const auto& a, const auto& b) { return componentsOf(a) < componentsOf(b); });
    EXPECT_EQ(unsorted, rows[4].found);
    EXPECT_EQ(Dir(tmp.path + "/none").scanWith("*", {}), Paths{});
}

// On a file system that reports no entry types (ext2 without the filetype feature, mounted in a
// private mount namespace where this process may; else readdir rewritten by the fault seam),
// only resolveUnknown finds the tree, and only with it are links followed.
TEST(Dir, ScanWithResolvesUnknownTypes) {
    const OstrelTest::TempDir tmp;
    const std::string root = tmp.path + "/m/t";
    const auto scans = [&] {
        tmp.makeFile("m/t/d/e/f");
        tmp.makeFile("m/t/g");
        EXPECT_EQ(symlink("d", (root + "/l").c_str()), 0);
        std::string found;
        for (const Dir::ScanOptions options : {Dir::ScanOptions{true, true, true, true},
                                               Dir::ScanOptions{true, true, false, true}}) {
            for (const auto& path : Dir(root).scanWith("*", options)) {
                found += path.substr(root.size() + 1) + " ";
            }
        }
        return found;
    };
    std::string found, how = "ext2 without filetype";
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string mount = "cd " + tmp.path + " && (truncate -s 1M i && mkfs.ext2 -q -O " +
                                  "^filetype i && mkdir m && mount --make-rprivate / && mount -o " +
                                  "loop i m) 2>/dev/null";
        const bool mounted = unshare(CLONE_NEWNS) == 0 && std::system(mount.c_str()) == 0;
        if (mounted) {
            std::ofstream(tmp.path + "/found") << scans();
        }
        _exit(mounted ? 0 : 1);
    }
    if (OstrelTest::waitForExit(pid, 20000) == 0) {
        std::getline(std::ifstream(tmp.path + "/found"), found);
    } else {
        how = "the fault seam (ext2 cannot be mounted here)";
        OstrelFault::reportUnknownTypes(true);
        found = scans();
        OstrelFault::reportUnknownTypes(false);
    }
    EXPECT_EQ(found, "d/e/f g l/e/f . .. d g l ") << how;
}

// Created once, filled with what other programs report of this process and system, dumped.
TEST(SysInfo, TheRecordComesFromTheSystem) {
    SysInfo::init();
    EXPECT_EQ(OstrelTest::captureStdout([] { SysInfo::the()->dump(); }),
              outputOf("h='=== SysInfo ======================================='; s=$(uname -s); "
                       "printf '%s\\n' \"$h\" 'env      Name: ' \"app      Name: $(realpath " +
                       OstrelTest::buildDir() +
                       "/bin/FileTest)\" \"user     Name: $(id -un)\" \"appData  Name: $HOME\" "
                       "\"host     Name: $(uname -n)\" \"sys      Name: $s\" \"sysClass Name: $s\" "
                       "\"machine  Name: $(uname -m)\" \"CPU     Count: $(getconf "
                       "_NPROCESSORS_ONLN)\" 'WindowHandle : 0' \"$h\""));
}

// set() keeps the arguments that are not null.
TEST(SysInfo, SetAndAppDataPath) {
    SysInfo info;
    char prog[] = "prog", flag[] = "-v", empty[] = "";
    char* argv[] = {prog, nullptr, empty, flag};
    info.windowHandle = -3;
    info.set("MyApp", 3, argv, false);
    EXPECT_EQ(info.envName + std::to_string(info.windowHandle), "MyApp-3");
    EXPECT_EQ(info.arguments, (std::vector<std::string>{"prog", ""}));
    info.set("", -1, argv, true);
    EXPECT_EQ(info.arguments.size() + info.windowHandle, 0U);
    info.appDataName = "/var/u1";
    EXPECT_EQ(info.createAppDataPathName("app"), "/var/u1/.app");
}

// The URL goes to the shell unquoted: two words are two arguments.
TEST(SysInfo, OpenUrlHandsTheUrlToXdgOpen) {
    const OstrelTest::TempDir dir;
    dir.makeFile("xdg-open", "#!/bin/sh\necho \"$#:$*\" >> '" + dir.path + "/log'\n");
    OstrelTest::inChild([&] {
        chmod((dir.path + "/xdg-open").c_str(), 0755);
        setenv("PATH", dir.path.c_str(), 1);
        SysInfo info;
        EXPECT_TRUE(info.openUrl("https://example.org/a?b=1"));
        EXPECT_TRUE(info.openUrl("two words"));
    });
    std::ifstream log(dir.path + "/log");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}),
              "1:https://example.org/a?b=1\n2:two words\n");
}

// A base directory is the variable's value when absolute, else the default below appDataName;
// without an absolute home (HOME unset, empty or relative) there is no default.
TEST(SysInfo, BaseDirectories) {
    using Get = std::string (SysInfo::*)() const;
    const std::tuple<const char*, const char*, Get, const char*, const char*> rows[] = {
        {"XDG_CONFIG_HOME", "/x/conf", &SysInfo::configHome, "/x/conf", "/home/u"},
        {"XDG_CONFIG_HOME", "x/conf", &SysInfo::configHome, "/home/u/.config", "/home/u"},
        {"XDG_CONFIG_HOME", nullptr, &SysInfo::configHome, "/home/u/.config", "/home/u"},
        {"XDG_DATA_HOME", nullptr, &SysInfo::dataHome, "/home/u/.local/share", "/home/u"},
        {"XDG_DATA_HOME", "/d/", &SysInfo::dataHome, "/d/", "/home/u"},
        {"XDG_STATE_HOME", "", &SysInfo::stateHome, "/home/u/.local/state", "/home/u"},
        {"XDG_CACHE_HOME", nullptr, &SysInfo::cacheHome, "/home/u/.cache", "/home/u"},
        {"XDG_CACHE_HOME", "~/c", &SysInfo::cacheHome, "/home/u/.cache", "/home/u"},
        {"XDG_RUNTIME_DIR", "/run/user/7", &SysInfo::runtimeDir, "/run/user/7", "/home/u"},
        {"XDG_RUNTIME_DIR", "run", &SysInfo::runtimeDir, "", "/home/u"},
        {"XDG_RUNTIME_DIR", nullptr, &SysInfo::runtimeDir, "", "/home/u"},
        {"XDG_CONFIG_HOME", nullptr, &SysInfo::configHome, "", ""},
        {"XDG_DATA_HOME", nullptr, &SysInfo::dataHome, "", "u"},
        {"XDG_STATE_HOME", "", &SysInfo::stateHome, "", ""},
        {"XDG_CACHE_HOME", nullptr, &SysInfo::cacheHome, "", ""},
        {"XDG_CACHE_HOME", "/c", &SysInfo::cacheHome, "/c", ""},
        {"XDG_CACHE_HOME", nullptr, &SysInfo::cacheHome, "/.cache", "/"},
        {"XDG_DATA_HOME", nullptr, &SysInfo::dataHome, "/u/.local/share", "/u/"}};
    OstrelTest::inChild([&] {
        SysInfo info;
        for (const auto& [name, value, get, expected, home] : rows) {
            info.appDataName = home;
            if (value != nullptr) {
                setenv(name, value, 1);
            } else {
                unsetenv(name);
            }
            EXPECT_EQ((info.*get)(), expected) << name << "=" << (value ? value : "(unset)");
        }
    });
}

// Writes text to an existing file (a cgroup's), in one write: false when it is refused.
bool put(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const bool written = fd != -1 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    return (fd == -1 || close(fd) == 0) && written;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat one {
    }, two{};
    return stat(a.c_str(), &one) == 0 && stat(b.c_str(), &two) == 0 && one.st_ino == two.st_ino &&
           one.st_dev == two.st_dev;
}

// A cgroup "ostrel-test-PID" + controller made below this process's own in the hierarchy of
// controller, with the settings of v1 when v1 has the controller, else of v2, and an "inner" one
// below it; both removed when it goes. Without them (not root, no such controller), reason says
// why.
struct TestCgroup {
    TestCgroup(const std::string& controller, const Paths& v1, const Paths& v2) {
        std::ifstream cgroups("/proc/self/cgroup");
        std::string base, line;
        const Paths* settings = &v2;
        while (settings == &v2 && std::getline(cgroups, line)) {
            const std::size_t colon = line.find(':'), second = line.find(':', colon + 1);
            const std::string path = line.substr(second + 1);
            if (second == colon + 1) {
                base = "/sys/fs/cgroup" + path;
                put(base + "/cgroup.subtree_control", "+" + controller);
            } else if (("," + line.substr(colon + 1, second - colon - 1) + ",")
                           .find("," + controller + ",") != std::string::npos) {
                base = "/sys/fs/cgroup/" + controller + path;
                settings = &v1;
            }
        }
        parent = base + "/ostrel-test-" + std::to_string(getpid()) + controller;
        inner = parent + "/inner";
        for (std::size_t i = 0; i < settings->size() && reason.empty(); i += 2) {
            if ((i == 0 && mkdir(parent.c_str(), 0755) != 0) ||
                !put(parent + "/" + (*settings)[i], (*settings)[i + 1])) {
                reason = "cannot set a " + controller + " cgroup in " + base;
            }
        }
        if (reason.empty() && mkdir(inner.c_str(), 0755) != 0) {
            reason = "cannot make " + inner;
        }
    }
    ~TestCgroup() {
        for (const std::string& dir : {inner, parent}) {
            EXPECT_TRUE(OstrelTest::eventually([&] {
                return rmdir(dir.c_str()) == 0 || errno != EBUSY;
            })) << dir;
        }
    }
    TestCgroup(const TestCgroup&) = delete;
    TestCgroup& operator=(const TestCgroup&) = delete;
    std::string parent, inner, reason;
};

// The affinity count is nproc's; one processor in the mask is one available.
TEST(SysInfo, AvailableParallelismFollowsTheAffinityMask) {
    EXPECT_EQ(std::to_string(SysInfo().resourceLimits().affinityCount) + "\n", outputOf("nproc"));
    OstrelTest::inChild([] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(SysInfo().availableParallelism(), 1U);
        EXPECT_EQ(SysInfo().resourceLimits().affinityCount, 1U);
    });
}

// A quota of 1.5 processors and a memory limit set on a parent cgroup hold for a process in
// the cgroup below it: 1 processor, 256 MiB.
TEST(SysInfo, LimitsOfAParentCgroupHoldBelowIt) {
    const std::string memory = std::to_string(256 << 20);
    const TestCgroup cpu("cpu", {"cpu.cfs_period_us", "100000", "cpu.cfs_quota_us", "150000"},
                         {"cpu.max", "150000 100000"});
    const TestCgroup mem("memory", {"memory.limit_in_bytes", memory}, {"memory.max", memory});
    if (!cpu.reason.empty() && !mem.reason.empty()) {
        GTEST_SKIP() << cpu.reason << "; " << mem.reason;
    }
    for (const TestCgroup* group : {&cpu, &mem}) {
        if (!group->reason.empty()) {
            std::cout << "[ SKIPPED  ] " << group->reason << "\n";
            continue;
        }
        OstrelTest::inChild([&] {
            ASSERT_TRUE(put(group->inner + "/cgroup.procs", std::to_string(getpid())));
            const SysInfo::ResourceLimits limits = SysInfo().resourceLimits();
            if (group == &cpu) {
                EXPECT_EQ(std::to_string(limits.cpuQuota) + "/" + std::to_string(limits.cpuPeriod),
                          "150000/100000");
                EXPECT_TRUE(sameFile(limits.cpuQuotaGroup, cpu.parent)) << limits.cpuQuotaGroup;
                EXPECT_EQ(SysInfo().availableParallelism(), 1U);
            } else {
                EXPECT_EQ(std::to_string(limits.cgroupMemoryLimit), memory);
                EXPECT_TRUE(sameFile(limits.memoryLimitGroup, mem.parent))
                    << limits.memoryLimitGroup;
                EXPECT_EQ(std::to_string(SysInfo().memoryLimit()), memory);
            }
        });
    }
}

// Layouts of the cgroup file systems: /proc/self/cgroup and /proc/self/mountinfo are files of
// the test bound over them in a mount namespace of a child ("@" is the test's directory).
TEST(SysInfo, LimitsInEveryCgroupLayout) {
    const long page = sysconf(_SC_PAGESIZE);
    const std::string noLimit = std::to_string(INT64_MAX / page * page);
    const OstrelTest::TempDir tmp;
    // clang-format off
    const std::pair<const char*, std::string> files[] = {
        {"v2/cpu.max", "200000 100000\n"}, {"v2/a/cpu.max", "150000 100000\n"},
        {"v2/a/b/cpu.max", "max 100000\n"}, {"v2/memory.max", "max\n"}, {"v2/a/memory.max", "max\n"},
        {"v2/a/b/memory.max", "67108864\n"}, {"v1 cpu/cpu.cfs_quota_us", "-1\n"},
        {"v1 cpu/cpu.cfs_period_us", "100000\n"}, {"v1 cpu/c/cpu.cfs_quota_us", "50000\n"},
        {"v1 cpu/c/cpu.cfs_period_us", "100000\n"}, {"mem/memory.limit_in_bytes", noLimit},
        {"mem/m/memory.limit_in_bytes", noLimit}};
    // clang-format on
    for (const auto& [file, contents] : files) {
        tmp.makeFile(file, contents);
    }
    const std::string v2 = "30 22 0:27 / @/v2 rw - cgroup2 cgroup2 rw\n";
    struct Row {
        const char* name;
        std::string cgroup, mountInfo, quota, memory;
    };
    const Row rows[] = {
        {"v2: the tightest of the cgroup and its ancestors", "0::/a/b\n", v2,
         "150000/100000 @/v2/a", "67108864 @/v2/a/b"},
        {"v2 mounted at the cgroup: no ancestor seen", "0::/a/b\n",
         "30 22 0:27 /a/b @/v2/a/b rw - cgroup2 cgroup2 rw\n", "none", "67108864 @/v2/a/b"},
        {"hybrid: v1 cpu,cpuacct, v1 memory without limit, a blank in a mount point",
         "5:memory:/m\n4:cpu,cpuacct:/c\n0::/\n",
         "31 30 0:28 / @/v1\\040cpu rw - cgroup cgroup rw,cpu,cpuacct\n34 30 0:31 / @/mem rw "
         "shared:9 - cgroup cgroup rw,memory\n" +
             v2,
         "50000/100000 @/v1 cpu/c", "none"},
        {"a cgroup outside the namespace", "0::/../x\n", v2, "none", "none"},
        {"no cgroup mounted", "0::/a/b\n", "", "none", "none"},
    };
    const pid_t pid = fork();
    if (pid == 0) {
        // Bound over this process's own file (mount's type is ignored, but valgrind reads it).
        const auto bind = [&](const std::string& name) {
            tmp.makeFile(name);
            const std::string self = "/proc/" + std::to_string(getpid()) + "/" + name;
            return mount((tmp.path + "/" + name).c_str(), self.c_str(), "none", MS_BIND, nullptr);
        };
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 || bind("cgroup") != 0 ||
            bind("mountinfo") != 0) {
            _exit(77);
        }
        const auto at = [&](std::string text) {
            for (std::size_t i; (i = text.find('@')) != std::string::npos;) {
                text.replace(i, 1, tmp.path);
            }
            return text;
        };
        for (const Row& row : rows) {
            std::ofstream(tmp.path + "/cgroup") << row.cgroup;
            std::ofstream(tmp.path + "/mountinfo") << at(row.mountInfo);
            const SysInfo::ResourceLimits limits = SysInfo().resourceLimits();
            EXPECT_EQ(limits.cpuPeriod == 0
                          ? "none"
                          : std::to_string(limits.cpuQuota) + "/" +
                                std::to_string(limits.cpuPeriod) + " " + limits.cpuQuotaGroup,
                      at(row.quota))
                << row.name;
            EXPECT_EQ(limits.memoryLimitGroup.empty() ? "none"
                                                      : std::to_string(limits.cgroupMemoryLimit) +
                                                            " " + limits.memoryLimitGroup,
                      at(row.memory))
                << row.name;
        }
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    const int code = OstrelTest::waitForExit(pid, 20000);
    if (code == 77) {
        GTEST_SKIP() << "no mount namespace here to show other cgroup files";
    }
    EXPECT_EQ(code, 0);
}

// The record of the process is changed in a child only.
TEST(FileLocator, StandardDirectoriesComeFromTheExecutableTheEnvironmentAndHere) {
    OstrelTest::inChild([] {
        SysInfo* const info = SysInfo::the();
        info->appName = "/opt/app/bin/prog";
        info->envName = "MYAPP";
        setenv("MYAPP_DIR", "/srv/data", 1);
        std::unique_ptr<FileLocator> all;
        EXPECT_EQ(
            captureStderr([&] { all = std::make_unique<FileLocator>(FileLocator::SearchAll); }),
            "Info: AddSearchPath: /opt/app/\nInfo: AddSearchPath: /srv/data\n"
            "Info: AddSearchPath: ./\n");
        EXPECT_EQ(FileLocator(FileLocator::SearchLocal).searchDirs, Paths{"./"});
        EXPECT_EQ(FileLocator(FileLocator::SearchEnvironment).searchDirs, Paths{"/srv/data"});
        EXPECT_EQ(FileLocator::bundlePath(FileLocator::LibDomain), "/opt/app/lib/");
        EXPECT_EQ(FileLocator::environmentPath(FileLocator::DataDomain), "/srv/data/share/");
        EXPECT_EQ(FileLocator::localPath(FileLocator::BinDomain), "./bin/");
        unsetenv("MYAPP_DIR");
        EXPECT_EQ(FileLocator(FileLocator::SearchEnvironment).searchDirs, Paths{});
        EXPECT_EQ(FileLocator::environmentPath(FileLocator::BinDomain), "");
    });
}

// In each directory: domain/name, domain/system class/name, /name, then a scan of its tree; a
// scan hit in an earlier directory wins over a direct hit in a later one.
TEST(FileLocator, LocateTriesTheCandidatesInOrder) {
    const OstrelTest::TempDir tmp, second;
    const std::string base = tmp.path + "/", sys = SysInfo::the()->sysClassName;
    std::string trace;
    const auto locate = [&](const char* name, FileLocator::FileDomain domain, Paths dirs) {
        FileLocator locator(0);
        locator.searchDirs = std::move(dirs);
        std::string found;
        trace = captureStderr([&] { found = locator.locate(name, domain, true); });
        return found;
    };
    EXPECT_EQ(locate("tool", FileLocator::BinDomain, {base}), "");
    EXPECT_EQ(trace, "CheckPath: " + base + "bin/tool, false\nCheckPath: " + base + "bin/" + sys +
                         "/tool, false\nCheckPath: " + base +
                         "/tool, false\nInfo: Scan Dir: " + base + "/ for: tool\n");
    tmp.makeFile("deep/tool");
    second.makeFile("bin/tool");
    EXPECT_EQ(locate("tool", FileLocator::BinDomain, {base, second.path + "/"}),
              base + "/deep/tool");
    EXPECT_EQ(trace.find("More than"), std::string::npos) << trace;
    tmp.makeFile("tool");
    EXPECT_EQ(locate("tool", FileLocator::BinDomain, {base}), base + "/tool");
    tmp.makeFile("bin/" + sys + "/tool");
    EXPECT_EQ(locate("tool", FileLocator::BinDomain, {base}), base + "bin/" + sys + "/tool");
    tmp.makeFile("bin/tool");
    EXPECT_EQ(locate("tool", FileLocator::BinDomain, {base}), base + "bin/tool");
    EXPECT_EQ(trace, "CheckPath: " + base + "bin/tool, true\n");
    EXPECT_EQ(locate("tool", FileLocator::NoneDomain, {base}), base + "/tool");
    EXPECT_EQ(locate("tool", FileLocator::BinDomain, {tmp.path + "/none", second.path + "/"}),
              second.path + "/bin/tool");
    EXPECT_EQ(locate("tool", FileLocator::BinDomain, {}), "");
    EXPECT_EQ(trace, "");
}

// Candidates and scan matches of every directory, in order; a text reached twice comes once.
TEST(FileLocator, LocateAllListsWhatShadowsWhat) {
    const OstrelTest::TempDir tmp, second;
    tmp.makeFile("x.conf");
    tmp.makeFile("deep/x.conf");
    second.makeFile("share/x.conf");
    FileLocator locator(0);
    locator.searchDirs = {tmp.path + "/", second.path + "/"};
    Paths all;
    EXPECT_EQ(captureStderr([&] { all = locator.locateAll("x.conf", FileLocator::DataDomain); }),
              "");
    EXPECT_EQ(all, (Paths{tmp.path + "//x.conf", tmp.path + "//deep/x.conf",
                          second.path + "/share/x.conf", second.path + "//share/x.conf"}));
    EXPECT_EQ(all.front(), locator.locate("x.conf", FileLocator::DataDomain, false));
    EXPECT_EQ(locator.locateAll("y", FileLocator::DataDomain), Paths{});
}

std::string messageOf(const std::function<void()>& fn) {
    return OstrelTest::messageOf<DynamicLibrary::Exception>(fn);
}

bool tinyIsLoaded() {
    return dlopen(TINY_LIBRARY, RTLD_LAZY | RTLD_NOLOAD) != nullptr;
}

// Moving hands the handle over; every handle is closed once, by its last owner.
TEST(DynamicLibrary, LoadsResolvesAndUnloadsOnce) {
    EXPECT_EQ(DynamicLibrary::defaultPrefix + "x" + DynamicLibrary::defaultSuffix, "libx.so");
    DynamicLibrary library;
    EXPECT_EQ(messageOf([&] { library.unload(); }), "No library loaded");
    EXPECT_EQ(messageOf([&] { library.getSymbol("tinyAnswer"); }), "No library loaded");
    library.load(TINY_LIBRARY);
    EXPECT_EQ(messageOf([&] { library.load(TINY_LIBRARY); }), "Library already loaded");
    EXPECT_EQ(library.getSymbol("tinyNull"), nullptr);
    EXPECT_EQ(messageOf([&] { library.getSymbol("tinyMissing"); }),
              "Cannot get symbol - " TINY_LIBRARY ": undefined symbol: tinyMissing");
    library.unload();
    EXPECT_FALSE(tinyIsLoaded());
    {
        library.load(TINY_LIBRARY);
        DynamicLibrary moved(std::move(library));
        DynamicLibrary assigned;
        assigned.load(TINY_LIBRARY);
        assigned = std::move(moved);
        EXPECT_EQ(reinterpret_cast<int (*)()>(assigned.getSymbol("tinyAnswer"))(), 42);
    }
    EXPECT_FALSE(tinyIsLoaded());
}

// The loader's own search path holds this program's RUNPATH and the directory of the C library
// as ldconfig reports it; flags reach the loader; path() is the file the loader mapped.
TEST(DynamicLibrary, FlagsPathAndTheLoadersSearchPath) {
    Paths dirs{"kept?"};
    DynamicLibrary::getLoaderSearchPath(dirs);
    const auto listed = [&](const std::string& dir) {
        return std::find(dirs.begin(), dirs.end(), dir) != dirs.end();
    };
    const std::string runpath =
        outputOf("readelf -d " + OstrelTest::buildDir() +
                 "/bin/FileTest | sed -n 's/.*runpath: \\[\\([^]:]*\\).*/\\1/p'");
    EXPECT_TRUE(listed(runpath.substr(0, runpath.size() - 1))) << runpath;
    std::istringstream libcDirs(
        outputOf("ldconfig -p | sed -n 's|.*libc\\.so\\.6 .*=> \\(.*\\)/libc\\.so\\.6$|\\1|p'"));
    EXPECT_TRUE(std::any_of(std::istream_iterator<std::string>(libcDirs), {}, listed));
    EXPECT_FALSE(listed("kept?"));

    DynamicLibrary library;
    EXPECT_EQ(messageOf([&] { library.path(); }), "No library loaded");
    EXPECT_EQ(OstrelTest::captureStdout([&] {
                  EXPECT_EQ(messageOf([&] { library.load(TINY_LIBRARY, RTLD_NOLOAD); }),
                            "Cannot load library");
              }),
              "");
    library.load(TINY_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    EXPECT_EQ(library.path(), TINY_LIBRARY);
    EXPECT_NE(dlsym(RTLD_DEFAULT, "tinyAnswer"), nullptr);
    DynamicLibrary math;
    math.load("libm.so.6", 0);
    struct stat info;
    EXPECT_EQ(math.path()[0], '/') << math.path();
    EXPECT_EQ(stat(math.path().c_str(), &info), 0) << math.path();
}

// The events of watcher as lines, paths relative to root: "Created a/" (a directory), "Renamed b
// a" (new, old). Waits until count have come (at most 10 s), then 50 ms more for any extra one.
std::string eventsOf(FileWatcher& watcher, const std::string& root, std::size_t count) {
    std::vector<FileWatcher::Event> events;
    const auto start = std::chrono::steady_clock::now();
    while (events.size() < count && std::chrono::steady_clock::now() - start < 10s) {
        for (auto& event : watcher.waitFor(1000)) {
            events.push_back(std::move(event));
        }
    }
    for (auto& event : watcher.waitFor(50)) {
        events.push_back(std::move(event));
    }
    const char* const kinds[] = {"Created", "Deleted",    "Modified",
                                 "Renamed", "Attributes", "Overflow"};
    std::string text;
    for (const auto& event : events) {
        const std::string mark = event.directory ? "/" : "";
        text += kinds[event.kind];
        for (const auto& path : {event.path, event.oldPath}) {
            if (!path.empty()) {
                text +=
                    " " + path.substr(path.rfind(root + "/", 0) == 0 ? root.size() + 1 : 0) + mark;
            }
        }
        text += "\n";
    }
    return text;
}

void makeEmptyFile(const std::string& path) {
    ASSERT_EQ(::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)), 0) << path;
}

// The watches of the process's inotify instances, from /proc/self/fdinfo.
int watchesHeld() {
    int watches = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
        std::ifstream info(entry.path());
        for (std::string line; std::getline(info, line);) {
            watches += line.rfind("inotify wd:", 0) == 0 ? 1 : 0;
        }
    }
    return watches;
}

// A save writes a temporary file and renames it over the watched one: each is one Modified, and
// the watch outlives every rename.
TEST(FileWatcher, SavesByRenameAreModifiedAndTheWatchLives) {
    const OstrelTest::TempDir tmp;
    const std::string conf = tmp.path + "/app.conf", temporary = conf + ".tmp";
    tmp.makeFile("app.conf", "0");
    FileWatcher watcher;
    watcher.add(conf);
    int modified = 0;
    for (int save = 0; save < 1000; ++save) {
        std::ofstream(temporary) << save;
        ASSERT_EQ(std::rename(temporary.c_str(), conf.c_str()), 0);
        const auto events = watcher.waitFor(10000);
        modified += events.size() == 1 && events[0].kind == FileWatcher::Modified &&
                    events[0].path == conf && !events[0].directory;
    }
    EXPECT_EQ(modified, 1000);
    std::ofstream(conf, std::ios::app) << "in place";
    std::ofstream(conf, std::ios::app) << "twice";
    ASSERT_EQ(std::rename(conf.c_str(), temporary.c_str()), 0);
    ASSERT_EQ(std::rename(temporary.c_str(), conf.c_str()), 0);
    EXPECT_EQ(eventsOf(watcher, tmp.path, 3),
              "Modified app.conf\nDeleted app.conf\nCreated app.conf\n");
    std::thread later([&] { // waitFor waits for what comes
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream(conf, std::ios::app) << "later";
    });
    const auto events = watcher.waitFor(20000);
    later.join();
    EXPECT_TRUE(!events.empty() && events[0].kind == FileWatcher::Modified);
    watcher.take();
    watcher.remove(conf);
    std::ofstream(conf) << "unwatched";
    EXPECT_EQ(eventsOf(watcher, tmp.path, 0), "");
    EXPECT_EQ(watchesHeld(), 0);
}

// Directories made quickly one inside the other race their watches: each entry is reported once.
TEST(FileWatcher, RecursiveWatchFollowsTheTree) {
    const OstrelTest::TempDir tmp, outside;
    const std::string root = tmp.path;
    FileWatcher watcher;
    watcher.add(root + "/", true);
    for (const char* dir : {"/a", "/a/b", "/a/b/c"}) {
        ASSERT_EQ(::mkdir((root + dir).c_str(), 0755), 0);
    }
    makeEmptyFile(root + "/a/b/c/f");
    EXPECT_EQ(eventsOf(watcher, root, 4),
              "Created a/\nCreated a/b/\nCreated a/b/c/\nCreated a/b/c/f\n");
    const auto move = [&](const std::string& from, const std::string& to) {
        ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from;
    };
    move(root + "/a/b/c/f", root + "/a/g");
    move(root + "/a/b", root + "/a/h");
    makeEmptyFile(root + "/a/h/c/x");
    EXPECT_EQ(eventsOf(watcher, root, 3),
              "Renamed a/g a/b/c/f\nRenamed a/h/ a/b/\nCreated a/h/c/x\n");
    move(root + "/a/g", outside.path + "/g");
    move(root + "/a/h", outside.path + "/h");
    makeEmptyFile(outside.path + "/h/c/y"); // no longer watched
    move(outside.path + "/h", root + "/in");
    EXPECT_EQ(
        eventsOf(watcher, root, 6),
        "Deleted a/g\nDeleted a/h/\nCreated in/\nCreated in/c/\nCreated in/c/x\nCreated in/c/y\n");
    EXPECT_EQ(watchesHeld(), 4); // the root, a, in, in/c
    watcher.remove(root);
    EXPECT_EQ(watchesHeld(), 0);
}

// An entry made between the watch of a new directory and its scan is seen twice by the watcher
// (the system's event and the scan) and reported once.
TEST(FileWatcher, AnEntryMadeBeforeTheScanComesOnce) {
    const OstrelTest::TempDir tmp;
    FileWatcher watcher;
    watcher.add(tmp.path, true);
    ASSERT_EQ(::mkdir((tmp.path + "/new").c_str(), 0755), 0);
    OstrelFault::beforeOpendir([](const char* path) {
        if (std::string(path).rfind("/new") == std::strlen(path) - 4) {
            makeEmptyFile(std::string(path) + "/late");
        }
    });
    const std::string events = eventsOf(watcher, tmp.path, 2);
    OstrelFault::beforeOpendir(nullptr);
    EXPECT_EQ(events, "Created new/\nCreated new/late\n");
}

// A queue filled without being read overflows: one Overflow, and the watch goes on.
TEST(FileWatcher, LostEventsAreOneOverflow) {
    int queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    ASSERT_GT(queued, 0);
    const OstrelTest::TempDir tmp;
    FileWatcher watcher;
    watcher.add(tmp.path, true);
    ASSERT_EQ(::mkdir((tmp.path + "/d").c_str(), 0755), 0);
    EXPECT_EQ(eventsOf(watcher, tmp.path, 1), "Created d/\n");
    const int fd = ::open((tmp.path + "/f").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    for (int i = 0; i <= queued / 2; ++i) { // alternate events: the system merges repeated ones
        ASSERT_EQ(::write(fd, "x", 1), 1);
        ASSERT_EQ(::fchmod(fd, 0600 | (i % 2)), 0);
    }
    ::close(fd);
    ASSERT_EQ(::mkdir((tmp.path + "/d/lost").c_str(), 0755), 0); // after the overflow
    std::vector<FileWatcher::Event> events;
    for (auto taken = watcher.take(); !taken.empty(); taken = watcher.take()) {
        events.insert(events.end(), taken.begin(), taken.end());
    }
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, FileWatcher::Overflow);
    EXPECT_EQ(events.back().path, "");
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const auto& e) { return e.kind == FileWatcher::Overflow; }),
              1);
    makeEmptyFile(tmp.path + "/d/lost/found"); // its directory was watched by the overflow
    EXPECT_EQ(eventsOf(watcher, tmp.path, 1), "Created d/lost/found\n");
}

TEST(FileWatcher, FailuresNameThePathAndTheLimit) {
    const OstrelTest::TempDir tmp;
    tmp.makeFile("a/b/c/f");
    std::string limit;
    std::ifstream("/proc/sys/fs/inotify/max_user_watches") >> limit;
    const auto thrown = [](auto fn) { return OstrelTest::messageOf<FileWatcher::Exception>(fn); };
    const std::string full =
        " - No space left on device (fs.inotify.max_user_watches is " + limit + ")";
    {
        const OstrelFault::Inject fault{{"inotify_init1", EMFILE}};
        EXPECT_EQ(thrown([] { FileWatcher(); }),
                  OstrelTest::withError("Cannot create file watcher", EMFILE));
    }
    FileWatcher watcher;
    EXPECT_EQ(thrown([&] { watcher.add(tmp.path + "/missing/x"); }),
              OstrelTest::withError(("Cannot watch " + tmp.path + "/missing/x").c_str(), ENOENT));
    {
        const OstrelFault::Inject fault{{"inotify_add_watch", ENOSPC, 3}};
        EXPECT_EQ(thrown([&] { watcher.add(tmp.path, true); }),
                  "Cannot watch " + tmp.path + "/a/b" + full);
        EXPECT_EQ(watchesHeld(), 0); // nothing half-watched
    }
    watcher.add(tmp.path, true);
    const OstrelFault::Inject fault{{"inotify_add_watch", ENOSPC}};
    ASSERT_EQ(::mkdir((tmp.path + "/new").c_str(), 0755), 0);
    EXPECT_EQ(thrown([&] { watcher.waitFor(10000); }), "Cannot watch " + tmp.path + "/new" + full);
    EXPECT_EQ(eventsOf(watcher, tmp.path, 1), "Created new/\n"); // kept for the next call
}

// The names in a directory, sorted; its contents of a file.
Paths namesIn(const std::string& dir) {
    Paths names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string contentsOf(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct stat statusOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

std::string fileError(const std::function<void()>& fn) {
    return OstrelTest::messageOf<FileError>(fn);
}

// Both roads, the unnamed file and the hidden name (the file system without O_TMPFILE, as the
// fault seam makes it): nothing but the target is left, the mode and owner of the file replaced
// are kept (set-user-ID too), a link stays and its target is replaced; a new file gets 0666 less
// the umask.
TEST(AtomicFile, ReplacesWholeKeepingModeOwnerAndLinks) {
    const OstrelTest::TempDir tmp;
    const std::string file = tmp.path + "/f", link = tmp.path + "/l";
    tmp.makeFile("f", "old");
    tmp.makeFile("sub/x");
    const bool root = geteuid() == 0;
    ASSERT_TRUE(!root || chown(file.c_str(), 1234, 5678) == 0);
    ASSERT_EQ(chmod(file.c_str(), 04750), 0); // after chown, which clears set-user-ID
    ASSERT_EQ(symlink("f", link.c_str()), 0);
    ASSERT_EQ(symlink("sub/made", (tmp.path + "/dangling").c_str()), 0);
    const Paths names{"dangling", "f", "l", "sub"};
    for (const int road : {0, EOPNOTSUPP}) {
        const OstrelFault::Inject noTmpFile{{"openat", road}};
        {
            AtomicFile uncommitted(file);
            uncommitted.write("new");
            EXPECT_EQ(namesIn(tmp.path).size(), road == 0 ? 4U : 5U);
        }
        EXPECT_EQ(contentsOf(file) + std::to_string(namesIn(tmp.path) == names), "old1") << road;
    }
    for (const int road : {0, EOPNOTSUPP}) {
        const std::string text = "text " + std::to_string(road);
        {
            const OstrelFault::Inject noTmpFile{{"openat", road}};
            AtomicFile::write(road == 0 ? file : link, text);
        }
        EXPECT_EQ(contentsOf(file), text);
        EXPECT_EQ(statusOf(file).st_mode, S_IFREG | 04750);
        EXPECT_EQ(statusOf(file).st_uid + statusOf(file).st_gid,
                  root ? 1234U + 5678 : 2 * getuid());
        EXPECT_TRUE(S_ISLNK(statusOf(link).st_mode));
        EXPECT_EQ(namesIn(tmp.path), names);
    }
    OstrelTest::inChild([&] {
        umask(027);
        AtomicFile::write(tmp.path + "/dangling", "made");
        EXPECT_EQ(contentsOf(tmp.path + "/sub/made"), "made");
        EXPECT_EQ(statusOf(tmp.path + "/sub/made").st_mode, S_IFREG | 0640);
        EXPECT_TRUE(S_ISLNK(statusOf(tmp.path + "/dangling").st_mode));
    });
}

// Every failure names its step, and leaves the path as it was and no file behind.
TEST(AtomicFile, FailuresLeaveThePathAsItWas) {
    const OstrelTest::TempDir tmp;
    tmp.makeFile("f", "old");
    tmp.makeFile("d/x");
    ASSERT_EQ(symlink("loop", (tmp.path + "/loop").c_str()), 0);
    const std::string file = tmp.path + "/f";
    enum Then { Nothing, CommitAgain, WriteAgain };
    struct Row {
        const char* name;
        std::string path;
        OstrelFault::Rule fault;
        Then then;
        std::string message;
    };
    const auto create = [](int error) {
        return OstrelTest::withError("Cannot create file", error);
    };
    const auto write = [](int error) { return OstrelTest::withError("Cannot write file", error); };
    const auto replace = [](int error) {
        return OstrelTest::withError("Cannot replace file", error);
    };
    const OstrelFault::Rule none{"none", 0};
    // clang-format off
    const Row rows[] = {
        {"empty path", "", none, Nothing, create(ENOENT)},
        {"no directory", tmp.path + "/none/f", none, Nothing, create(ENOENT)},
        {"trailing slash", file + "/", none, Nothing, create(EISDIR)},
        {"a directory", tmp.path + "/d", none, Nothing, create(EISDIR)},
        {"a device", "/dev/null", none, Nothing, create(EINVAL)},
        {"a link loop", tmp.path + "/loop", none, Nothing, create(ELOOP)},
        {"a name too long", tmp.path + "/" + std::string(256, 'n'), none, Nothing, create(ENAMETOOLONG)},
        {"disk full", file, {"write", ENOSPC}, Nothing, write(ENOSPC)},
        {"flush fails", file, {"fsync", EIO}, Nothing, write(EIO)},
        {"rename fails", file, {"renameat", EXDEV}, Nothing, replace(EXDEV)},
        {"link fails", file, {"linkat", EIO}, Nothing, replace(EIO)},
        {"committed twice", file, none, CommitAgain, replace(EBADF)},
        {"written after commit", file, none, WriteAgain, write(EBADF)},
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(fileError([&] {
                      AtomicFile atomic(row.path);
                      const OstrelFault::Inject fault{row.fault};
                      atomic.write("new");
                      atomic.commit();
                      if (row.then == CommitAgain) {
                          atomic.commit();
                      }
                      atomic.write("more");
                  }),
                  row.message)
            << row.name;
        EXPECT_EQ(contentsOf(file), row.then == Nothing ? "old" : "new") << row.name;
        EXPECT_EQ(namesIn(tmp.path), (Paths{"d", "f", "loop"})) << row.name;
        AtomicFile::write(file, "old");
    }
    ASSERT_EQ(chmod(tmp.path.c_str(), 0555), 0);
    OstrelTest::inChild([&] {
        (void)setuid(65534); // root may write anywhere
        EXPECT_EQ(fileError([&] { AtomicFile atomic(file); }), create(EACCES));
    });
    chmod(tmp.path.c_str(), 0700);
}

// A few hundred saves of versions, each 64 KiB with its number at both ends, by writers killed
// with SIGKILL at random points (in memory where there is some, where a save takes microseconds
// instead of the milliseconds of two flushes to a disk): the file always holds one whole version,
// and a copy that a kill between link and rename leaves under the hidden name is whole too.
TEST(AtomicFile, AWriterKilledAnywhereLeavesOneWholeVersion) {
    OstrelTest::inChild([] {
        setenv("TMPDIR", "/dev/shm", access("/dev/shm", W_OK) == 0 ? 1 : 0);
        const OstrelTest::TempDir tmp;
        const std::string path = tmp.path + "/data";
        const auto version = [](int n) {
            std::string text = std::to_string(n) + ":";
            text.resize(65536, static_cast<char>('a' + n % 26));
            return text + std::to_string(n);
        };
        AtomicFile::write(path, version(0));
        std::mt19937 random(std::random_device{}());
        // A child of a sanitized or valgrind's process takes long to start.
        const bool slowStart = OstrelTest::threadSanitizerBuild ||
                               OstrelTest::addressSanitizerBuild || OstrelTest::underValgrind();
        const std::mt19937::result_type microseconds = slowStart ? 200000 : 20000;
        int saved = 0;
        for (int round = 0; round < 20; ++round) {
            const pid_t pid = fork();
            if (pid == 0) {
                for (int n = saved + 1;; ++n) {
                    AtomicFile::write(path, version(n));
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(random() % microseconds));
            kill(pid, SIGKILL);
            EXPECT_EQ(OstrelTest::waitForExit(pid, 20000), 128 + SIGKILL);
            const Paths names = namesIn(tmp.path);
            EXPECT_TRUE(std::find(names.begin(), names.end(), "data") != names.end());
            for (const std::string& name : names) {
                const std::string text = contentsOf(tmp.path + "/" + name);
                EXPECT_EQ(text, version(std::atoi(text.c_str()))) << name;
                EXPECT_TRUE(name == "data" || (name.rfind(".data.", 0) == 0 && name.size() == 22 &&
                                               name.compare(18, 4, ".tmp") == 0))
                    << name;
                if (name == "data") {
                    saved = std::atoi(text.c_str());
                } else {
                    unlink((tmp.path + "/" + name).c_str());
                }
            }
        }
        EXPECT_GT(saved, 10); // the kills met saves in most rounds, not only starts
    });
}

// The count is what find lists; a link is removed, never followed; a trailing "/" asks for a
// directory.
TEST(RemoveAll, CountsAndFollowsNoLink) {
    const OstrelTest::TempDir tmp;
    for (const char* file : {"out/keep", "t/a/b/c/f", "t/a/g", "t/.h", "file"}) {
        tmp.makeFile(file);
    }
    ASSERT_EQ(mkdir((tmp.path + "/t/e").c_str(), 0755), 0);
    for (const char* link : {"t/a/l", "t/l", "l"}) {
        ASSERT_EQ(symlink((tmp.path + "/out").c_str(), (tmp.path + "/" + link).c_str()), 0);
    }
    ASSERT_EQ(symlink((tmp.path + "/out/keep").c_str(), (tmp.path + "/t/k").c_str()), 0);
    const std::string found = outputOf("find " + tmp.path + "/t | wc -l");
    const auto removed = [&](const std::string& path) {
        std::string result;
        try {
            result = std::to_string(removeAll(tmp.path + path));
        } catch (const FileError& error) {
            result = error.what() + std::string(" at ") + error.path().substr(tmp.path.size());
        }
        return result;
    };
    const std::string notDirectory = strerror(ENOTDIR);
    EXPECT_EQ(removed("/l/"), "Cannot remove " + tmp.path + "/l/ - " + notDirectory + " at /l/");
    EXPECT_EQ(removed("/file/"),
              "Cannot remove " + tmp.path + "/file/ - " + notDirectory + " at /file/");
    EXPECT_EQ(removed("/file/x"),
              "Cannot remove " + tmp.path + "/file/x - " + notDirectory + " at /file/x");
    EXPECT_EQ(removed("/t/") + "\n", found);
    EXPECT_EQ(removed("/l") + removed("/file") + removed("/none") + removed("/none/x"), "1100");
    EXPECT_EQ(namesIn(tmp.path), Paths{"out"});
    EXPECT_EQ(namesIn(tmp.path + "/out"), Paths{"keep"});
    EXPECT_EQ(removeAll(""), 0U);
}

// 10,000 levels with a file every 100: no recursion, and 34 descriptors at most.
TEST(RemoveAll, ADeepTreeWithFewDescriptors) {
    const int depth =
        OstrelTest::underValgrind() || OstrelTest::threadSanitizerBuild ? 2000 : 10000;
    OstrelTest::inChild(
        [&] {
            // In memory where there is some: ext4 takes seconds for the deep tree.
            setenv("TMPDIR", "/dev/shm", access("/dev/shm", W_OK) == 0 ? 1 : 0);
            const OstrelTest::TempDir tmp;
            int fd = open(tmp.path.c_str(), O_RDONLY | O_DIRECTORY);
            for (int level = 0; level < depth; ++level) {
                ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
                if (level % 100 == 0) {
                    close(openat(fd, "f", O_CREAT | O_WRONLY, 0644));
                }
                const int below = openat(fd, "d", O_RDONLY | O_DIRECTORY);
                close(fd);
                fd = below;
            }
            close(fd);
            const auto held = static_cast<rlim_t>(
                std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}) - 1);
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = held + 34;
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
            EXPECT_EQ(removeAll(tmp.path + "/d"), depth - 1 + (depth + 99) / 100);
        },
        50000);
}

// A directory without write permission in the way: the message names the path given, path()
// the entry that could not be removed.
TEST(RemoveAll, AFailureNamesTheEntry) {
    const OstrelTest::TempDir tmp;
    tmp.makeFile("p/locked/x");
    ASSERT_EQ(chmod(tmp.path.c_str(), 0755) + chmod((tmp.path + "/p").c_str(), 0777) +
                  chmod((tmp.path + "/p/locked").c_str(), 0555),
              0);
    OstrelTest::inChild([&] {
        (void)setuid(65534); // root may write anywhere
        try {
            removeAll(tmp.path + "/p");
            ADD_FAILURE() << "nothing thrown";
        } catch (const FileError& error) {
            EXPECT_EQ(error.what(),
                      OstrelTest::withError(("Cannot remove " + tmp.path + "/p").c_str(), EACCES));
            EXPECT_EQ(error.path(), tmp.path + "/p/locked/x");
            EXPECT_EQ(error.error(), EACCES);
        }
    });
}

// A thread keeps exchanging directories below the tree with links to a directory outside, whose
// files have the same names: nothing outside is removed, the tree is. An entry that turns from
// directory to link at every try makes removeAll give up instead of looping (EBUSY after its
// tries of one entry, or the last error after its rereads of one directory): strict turns of the
// two threads (valgrind's scheduler) do that every time, a real machine seldom.
TEST(RemoveAll, NothingOutsideWhileDirectoriesTurnIntoLinks) {
    const OstrelTest::TempDir tmp;
    const std::string tree = tmp.path + "/tree/", outside = tmp.path + "/out";
    const int pairs = 30;
    const Paths files{"f0", "f1", "f2", "f3", "f4"};
    for (const std::string& name : files) {
        tmp.makeFile("out/" + name);
    }
    const int rounds = OstrelTest::threadSanitizerBuild ? 5 : 20;
    int whole = 0;
    for (int round = 0; round < rounds; ++round) {
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        for (int i = 0; i < pairs; ++i) {
            const std::string dir = tree + "s" + std::to_string(i);
            ASSERT_EQ(mkdir(dir.c_str(), 0755) +
                          symlink(outside.c_str(), (tree + "l" + std::to_string(i)).c_str()),
                      0);
            for (const std::string& name : files) {
                close(open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            }
        }
        std::atomic<bool> done{false};
        std::thread swapper([&] {
            for (bool swapped = true; swapped && !done;) {
                swapped = false;
                for (int i = 0; i < pairs; ++i) {
                    const std::string number = std::to_string(i);
                    swapped = renameat2(AT_FDCWD, (tree + "s" + number).c_str(), AT_FDCWD,
                                        (tree + "l" + number).c_str(), RENAME_EXCHANGE) == 0 ||
                              swapped;
                }
            }
        });
        const std::string error = fileError([&] { removeAll(tree); });
        done = true;
        swapper.join();
        ASSERT_EQ(namesIn(outside), files) << "round " << round;
        if (error == "(nothing thrown)") {
            ++whole;
        } else {
            const std::string given = "Cannot remove " + tree;
            EXPECT_TRUE(error == OstrelTest::withError(given.c_str(), EBUSY) ||
                        error == OstrelTest::withError(given.c_str(), ENOTDIR) ||
                        error == OstrelTest::withError(given.c_str(), ENOTEMPTY))
                << error;
            EXPECT_EQ(fileError([&] { removeAll(tree); }), "(nothing thrown)");
        }
        EXPECT_EQ(namesIn(tmp.path), Paths{"out"});
    }
    if (!OstrelTest::underValgrind()) {
        EXPECT_GT(whole, rounds / 2);
    }
}

// mkdir -p: the last directory with the mode asked, those above with 0777, both less the umask;
// an existing directory (or a link to one) is fine, a file in the way is not; threads making the
// same directories do not disturb each other.
TEST(CreateDirectories, MakesWhatIsMissing) {
    const OstrelTest::TempDir tmp;
    tmp.makeFile("f");
    OstrelTest::inChild([&] {
        umask(022);
        EXPECT_TRUE(createDirectories(tmp.path + "//a/b//c/", 0701));
        EXPECT_EQ(statusOf(tmp.path + "/a").st_mode, S_IFDIR | 0755);
        EXPECT_EQ(statusOf(tmp.path + "/a/b/c").st_mode, S_IFDIR | 0701);
        ASSERT_EQ(symlink("a/b", (tmp.path + "/l").c_str()), 0);
        EXPECT_FALSE(createDirectories(tmp.path + "/a/b/c") || createDirectories(tmp.path + "/l") ||
                     createDirectories("/"));
        EXPECT_TRUE(createDirectories(tmp.path + "/l/d"));
        for (const std::string& path : {tmp.path + "/f", tmp.path + "/f/x/y"}) {
            EXPECT_EQ(fileError([&] { createDirectories(path); }),
                      OstrelTest::withError(("Cannot create directory " + path).c_str(), ENOTDIR));
        }
        EXPECT_EQ(fileError([] { createDirectories(""); }),
                  OstrelTest::withError("Cannot create directory ", ENOENT));
        std::atomic<int> made{0};
        OstrelTest::runThreads(
            4, [&](int) { made += createDirectories(tmp.path + "/r/s/t/u/v") ? 1 : 0; });
        EXPECT_TRUE(made >= 1 && statusOf(tmp.path + "/r/s/t/u/v").st_mode == (S_IFDIR | 0755));
    });
}

// The library search path: the non-empty elements of LD_LIBRARY_PATH as they stand, then /lib and
// /usr/lib; the vector's contents are replaced. The environment is changed in a child only.
TEST(DynamicLibrary, SearchPathFromTheEnvironment) {
    const std::pair<const char*, Paths> rows[] = {
        {nullptr, {"/lib", "/usr/lib"}},
        {"", {"/lib", "/usr/lib"}},
        {":/opt/a::/opt/b:", {"/opt/a", "/opt/b", "/lib", "/usr/lib"}},
        {"/usr/lib", {"/usr/lib", "/lib", "/usr/lib"}},
        {"x:y", {"x", "y", "/lib", "/usr/lib"}}};
    OstrelTest::inChild([&] {
        for (const auto& [value, expected] : rows) {
            if (value != nullptr) {
                setenv("LD_LIBRARY_PATH", value, 1);
            } else {
                unsetenv("LD_LIBRARY_PATH");
            }
            Paths dirs{"kept?"};
            DynamicLibrary::getSearchPath(dirs);
            EXPECT_EQ(dirs, expected) << (value != nullptr ? value : "(unset)");
        }
    });
}

} // namespace
