// Dir, SysInfo, FileLocator and DynamicLibrary: paths, the system record, files and libraries.
#include <Ostrel/Dir.h>
#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include <dlfcn.h>
#include <fnmatch.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Ostrel;
using OstrelTest::captureStderr;
using Paths = std::vector<std::string>;

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
