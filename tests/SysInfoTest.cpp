#include <Ostrel/SysInfo.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

using Ostrel::SysInfo;
using OstrelTest::captureStdout;
using OstrelTest::runInChild;
using OstrelTest::TempDir;

namespace {

// In a child process a failed expectation cannot reach the parent's test: report it on stderr
// and count it in the child's exit code instead.
int expectEq(const std::string& got, const std::string& want, const char* what) {
    if (got == want) {
        return 0;
    }
    std::cerr << what << ": got \"" << got << "\", want \"" << want << "\"\n";
    return 1;
}

std::string dumpText(SysInfo& info) {
    return captureStdout([&info] { info.dump(); });
}

TEST(SysInfoTest, SingletonIsCreatedOnceAndFilledFromTheSystem) {
    SysInfo* first = SysInfo::the();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(SysInfo::the(), first);
    SysInfo::init();
    EXPECT_EQ(SysInfo::the(), first);

    EXPECT_EQ(first->windowHandle, 0);
    EXPECT_EQ(first->envName, "");
    EXPECT_TRUE(first->arguments.empty());
    EXPECT_EQ(first->appName, std::filesystem::read_symlink("/proc/self/exe").string());

    struct utsname uts {};
    ASSERT_EQ(uname(&uts), 0);
    EXPECT_EQ(first->sysName, uts.sysname);
    EXPECT_EQ(first->sysClassName, first->sysName);
    EXPECT_EQ(first->machineName, uts.machine);

    const struct passwd* entry = getpwuid(getuid());
    EXPECT_EQ(first->userName,
              entry != nullptr && entry->pw_name[0] != '\0' ? entry->pw_name : "[NA]");
    char host[1024] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(first->hostName, host);
    EXPECT_EQ(first->cpuCount, static_cast<std::uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
    const char* home = std::getenv("HOME");
    EXPECT_EQ(first->appDataName, home != nullptr ? home : "");
}

TEST(SysInfoTest, SetRecordsNameAndArgumentsSkippingNulls) {
    SysInfo info;
    char a0[] = "prog";
    char a1[] = "-v";
    char a2[] = "file";
    char empty[] = "";

    char* none[] = {nullptr};
    info.set("App", 0, none, false);
    EXPECT_EQ(info.envName, "App");
    EXPECT_TRUE(info.arguments.empty());

    char* withNull[] = {a0, nullptr, a2};
    info.set("other_Name", 3, withNull, false);
    EXPECT_EQ(info.envName, "other_Name");
    EXPECT_EQ(info.arguments, (std::vector<std::string>{"prog", "file"}));

    char* all[] = {a0, a1, empty, a2};
    info.set("", 4, all, false);
    EXPECT_EQ(info.envName, "");
    EXPECT_EQ(info.arguments, (std::vector<std::string>{"prog", "-v", "", "file"}));

    // A negative count appends nothing and still replaces the old arguments.
    info.set("X", -1, all, false);
    EXPECT_TRUE(info.arguments.empty());

    const std::string appName = info.appName;
    info.windowHandle = 42;
    info.set("X", 1, all, false);
    EXPECT_EQ(info.windowHandle, 42);
    info.set("X", 1, all, true);
    EXPECT_EQ(info.windowHandle, 0);
    EXPECT_EQ(info.appName, appName);

    info.windowHandle = 7;
    info.setWindowHandle();
    EXPECT_EQ(info.windowHandle, 0);
    info.setupExceptionPolicy();
    EXPECT_EQ(info.arguments, (std::vector<std::string>{"prog"}));
}

TEST(SysInfoTest, DumpPrintsEveryLabelBetweenTwoHeaders) {
    SysInfo info;
    info.envName = "MyApp";
    info.appName = "/opt/my app/bin/prog";
    info.userName = "u1";
    info.appDataName = "/var/u1";
    info.hostName = "host.example";
    info.sysName = "Linux";
    info.sysClassName = "Linux";
    info.machineName = "x86_64";
    info.cpuCount = 8;
    info.windowHandle = -3;
    info.arguments = {"not", "printed"};
    const char* header = "=== SysInfo =======================================\n";
    EXPECT_EQ(dumpText(info), std::string(header) +
                                  "env      Name: MyApp\n"
                                  "app      Name: /opt/my app/bin/prog\n"
                                  "user     Name: u1\n"
                                  "appData  Name: /var/u1\n"
                                  "host     Name: host.example\n"
                                  "sys      Name: Linux\n"
                                  "sysClass Name: Linux\n"
                                  "machine  Name: x86_64\n"
                                  "CPU     Count: 8\n"
                                  "WindowHandle : -3\n" +
                                  header);

    // Before set, the environment name line holds its label alone.
    SysInfo fresh;
    const std::string text = dumpText(fresh);
    EXPECT_EQ(text.rfind(header, 0), 0U);
    EXPECT_NE(text.find("\nenv      Name: \napp      Name: " + fresh.appName + "\n"),
              std::string::npos);
}

TEST(SysInfoTest, AppDataPathNameFollowsHomeReadAtCreation) {
    struct Case {
        const char* home; // null: HOME unset
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {"/var/u1", "app", "/var/u1/.app"},
        {"/var/u1", "", "/var/u1/."},
        {"/var/u1/", "app", "/var/u1//.app"},
        {nullptr, "app", "/.app"},
        {"", "app", "/.app"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.home != nullptr ? c.home : "(unset)");
        EXPECT_EQ(
            runInChild([&c] {
                if (c.home != nullptr) {
                    setenv("HOME", c.home, 1);
                } else {
                    unsetenv("HOME");
                }
                // A record of its own: the singleton may predate this HOME.
                const SysInfo info;
                // The record keeps the value it was created with.
                setenv("HOME", "/changed", 1);
                return expectEq(info.appDataName, c.home != nullptr ? c.home : "", "appDataName") +
                       expectEq(info.createAppDataPathName(c.name), c.expected, "path") +
                       expectEq(info.createAppDataPathName(c.name), c.expected, "second path");
            }),
            0);
    }
}

TEST(SysInfoTest, AppDataPathNameCreatesNothing) {
    TempDir home;
    SysInfo info;
    info.appDataName = home.path();
    const std::string path = info.createAppDataPathName("app");
    EXPECT_EQ(path, home.path() + "/.app");
    struct stat st {};
    EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST(SysInfoTest, OpenUrlHandsTheUrlUnquotedToXdgOpen) {
    TempDir dir;
    dir.makeDir("bin");
    const std::string log = dir.path() + "/log";
    // A stand-in opener that records how many words it received and what they were.
    dir.makeFile("bin/xdg-open", "#!/bin/sh\necho \"$#:$*\" >> '" + log + "'\n");
    const std::string opener = dir.path() + "/bin/xdg-open";
    ASSERT_EQ(chmod(opener.c_str(), 0755), 0);
    EXPECT_EQ(runInChild([&dir] {
                  setenv("PATH", (dir.path() + "/bin").c_str(), 1);
                  SysInfo info;
                  return info.openUrl("https://example.org/a?b=1") && info.openUrl("") &&
                                 info.openUrl("two words")
                             ? 0
                             : 1;
              }),
              0);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "1:https://example.org/a?b=1\n0:\n2:two words\n");
}

TEST(SysInfoTest, OpenUrlIsTrueWithoutAnOpener) {
    TempDir emptyPath;
    EXPECT_EQ(runInChild([&emptyPath] {
                  setenv("PATH", emptyPath.path().c_str(), 1);
                  SysInfo info;
                  return info.openUrl("https://example.org/") ? 0 : 1;
              }),
              0);
}

// Each fallback builds a fresh record in a child whose system query fails through the shim.
TEST(SysInfoTest, FallbacksWhenTheSystemCannotAnswer) {
    struct Case {
        const char* rules;
        std::string SysInfo::*member;
        const char* expected;
    };
    const Case cases[] = {
        {"readlink:1+:13", &SysInfo::appName, ""},
        {"uname:1+:14", &SysInfo::sysName, "[NA]"},
        {"uname:1+:14", &SysInfo::sysClassName, "[NA]"},
        {"uname:1+:14", &SysInfo::machineName, "[NA]"},
        {"getpwuid_r:1+:5", &SysInfo::userName, "[NA]"},
        {"getpwuid_r:1+:34", &SysInfo::userName, "[NA]"}, // ERANGE: buffer too small
        {"getpwuid_r:1+:=0", &SysInfo::userName, "[NA]"}, // no entry for the user id
        {"gethostname:1+:36", &SysInfo::hostName, "[NA]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules);
        EXPECT_EQ(runInChild([&c] {
                      ostrelFaultSet(c.rules);
                      SysInfo info;
                      ostrelFaultSet(nullptr);
                      return expectEq(info.*c.member, c.expected, c.rules);
                  }),
                  0);
    }
}

TEST(SysInfoTest, CpuCountIsAtLeastOne) {
    struct Case {
        const char* rules;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"sysconf:1+:22", 1}, {"sysconf:1+:=-1", 1}, {"sysconf:1+:=0", 1}, {"sysconf:1+:=8", 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules);
        EXPECT_EQ(runInChild([&c] {
                      ostrelFaultSet(c.rules);
                      SysInfo info;
                      ostrelFaultSet(nullptr);
                      return info.cpuCount == c.expected ? 0 : 1;
                  }),
                  0);
    }
}

TEST(SysInfoTest, DumpOfAFailedQueryShowsThePlaceholder) {
    EXPECT_EQ(runInChild([] {
                  ostrelFaultSet("uname:1+:14,sysconf:1+:=8");
                  SysInfo info;
                  ostrelFaultSet(nullptr);
                  const std::string text = dumpText(info);
                  int failures = 0;
                  for (const char* line : {"\nsys      Name: [NA]\n", "\nsysClass Name: [NA]\n",
                                           "\nmachine  Name: [NA]\n", "\nCPU     Count: 8\n"}) {
                      if (text.find(line) == std::string::npos) {
                          std::cerr << "missing line " << line << "in:\n" << text;
                          ++failures;
                      }
                  }
                  return failures;
              }),
              0);
}

} // namespace
