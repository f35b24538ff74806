// The ostrel tool, run as a program: exit codes, standard output and standard error.
#include "support/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using OstrelTest::TempDir;

namespace {

struct ToolRun {
    int code = -1;
    std::string out;
    std::string err;
};

std::string buildDir() {
    const char* dir = std::getenv("OSTREL_BUILD_DIR");
    return dir != nullptr ? dir : ".";
}

std::string tool() {
    return buildDir() + "/bin/ostrel";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the tool with args in cwd, with the environment changes env (an empty value unsets),
// stdout and stderr going to files; a run still going after 60 s is killed (code -1).
ToolRun runTool(const std::vector<std::string>& args, const std::string& cwd = "/",
                const std::vector<std::pair<std::string, std::string>>& env = {}) {
    TempDir files;
    const std::string outPath = files.path() + "/out";
    const std::string errPath = files.path() + "/err";
    const std::string program = tool();
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value.c_str(), 1);
            }
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ToolRun run;
    if (pid < 0) {
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

// The build directory as the locator's bundle directory writes it: absolute, normalised, one
// trailing separator.
std::string normalisedBuildDir() {
    char resolved[4096];
    const std::string dir = realpath(buildDir().c_str(), resolved) != nullptr ? resolved : "";
    return dir + "/";
}

TEST(ToolTest, UsageErrorsExitTwoWithTheUsageOnStderr) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"info", "extra"},
        {"normalize"},
        {"normalize", "--bogus", "a"},
        {"scan"},
        {"scan", "/"},
        {"scan", "/", "*", "more"},
        {"scan", "/", "*", "--deep"},
        {"locate"},
        {"locate", "a", "b"},
        {"locate", "a", "--domain"},
        {"locate", "a", "--domain", "etc"},
        {"locate", "a", "--domain=usr"},
        {"locate", "a", "--env"},
        {"locate", "a", "--fast"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.empty() ? std::string("(none)") : args.front());
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.code, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("usage: ostrel "), std::string::npos) << run.err;
    }
    EXPECT_EQ(runTool({"bogus"}).err.rfind("ostrel: unknown command \"bogus\"\n", 0), 0U);
    EXPECT_EQ(runTool({"locate", "a", "--domain", "etc"}).err,
              "ostrel locate: unknown domain \"etc\" (none, bin, lib or share)\n"
              "usage: ostrel locate NAME [--domain none|bin|lib|share] [--env NAME] [--verbose]\n"
              "Find NAME in the standard search directories (bundle, NAME_DIR, working "
              "directory)\n"
              "and print its path; exits 1 when it is not found. --env sets the environment name\n"
              "whose NAME_DIR variable names a search directory; --verbose traces the lookup.\n");
    EXPECT_EQ(runTool({"normalize"}).err, "ostrel normalize: missing PATH\n"
                                          "usage: ostrel normalize PATH...\n"
                                          "Print each PATH normalised, one per line.\n");
}

TEST(ToolTest, RunHandsAHelpAfterTheProgramToTheProgram) {
    const ToolRun run = runTool({"run", "/usr/bin/printf", "%s\\n", "--help"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "--help\n");
    EXPECT_EQ(run.err, "");
}

TEST(ToolTest, HelpOnEveryCommand) {
    const std::pair<const char*, const char*> cases[] = {
        {"info", "usage: ostrel info\n"},
        {"normalize", "usage: ostrel normalize PATH...\n"},
        {"scan", "usage: ostrel scan DIR PATTERN [--recursive]\n"},
        {"locate", "usage: ostrel locate NAME [--domain none|bin|lib|share] [--env NAME] "
                   "[--verbose]\n"},
        {"run", "usage: ostrel run [--timeout MS] PROGRAM [ARG...]\n"},
        {"ldpath", "usage: ostrel ldpath\n"},
        {"load", "usage: ostrel load NAME [SYMBOL...]\n"},
        {"road", "usage: ostrel road\n"},
        {"ipc", "usage: ostrel ipc list | ipc remove NAME...\n"},
    };
    for (const auto& [command, usage] : cases) {
        SCOPED_TRACE(command);
        const ToolRun run = runTool({command, "--help"});
        EXPECT_EQ(run.code, 0);
        EXPECT_TRUE(startsWith(run.out, usage)) << run.out;
        EXPECT_EQ(run.err, "");
    }
    const ToolRun all = runTool({"--help"});
    EXPECT_EQ(all.code, 0);
    EXPECT_TRUE(startsWith(all.out, "usage: ostrel COMMAND [ARG...]\n")) << all.out;
}

TEST(ToolTest, NormalizePrintsOnePathPerLine) {
    const ToolRun run =
        runTool({"normalize", "/usr/local/../lib", "a//b/./c/", "a/..", "/../x", "--", "-dash/./"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "/usr/lib/\na/b/c/\n\n/x/\n-dash/\n");
    EXPECT_EQ(run.err, "");
}

TEST(ToolTest, ScanListsMatchesFlatOrRecursive) {
    TempDir tree;
    tree.makeFile("a.txt");
    tree.makeFile("b.log");
    tree.makeFile("sub/c.txt");
    tree.makeFile("sub/deeper/d.txt");
    tree.makeDir("dir.txt");
    const std::string base = tree.path() + "/";

    const ToolRun flat = runTool({"scan", base, "*.txt"});
    EXPECT_EQ(flat.code, 0);
    EXPECT_EQ(flat.out, base + "a.txt\n");
    EXPECT_EQ(flat.err, "");

    const ToolRun deep = runTool({"scan", "--recursive", base, "*.txt"});
    EXPECT_EQ(deep.code, 0);
    std::vector<std::string> found = lines(deep.out);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{base + "a.txt", base + "sub/c.txt",
                                               base + "sub/deeper/d.txt"}));

    EXPECT_EQ(runTool({"scan", base, "*.none", "--recursive"}).out, "");
    const ToolRun missing = runTool({"scan", base + "nothere", "*"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "ostrel scan: " + base + "nothere is not a readable directory\n");
}

TEST(ToolTest, LocateFindsTheLibraryThroughTheBundleDirectory) {
    TempDir cwd;
    const std::string bundle = normalisedBuildDir();
    const ToolRun run = runTool({"locate", "--domain", "lib", "--verbose", "libOstrel.so"},
                                cwd.path(), {{"OSTREL_DIR", ""}});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, bundle + "lib/libOstrel.so\n");
    EXPECT_EQ(run.err, "Info: AddSearchPath: " + bundle +
                           "\nInfo: AddSearchPath: ./\n"
                           "CheckPath: " +
                           bundle + "lib/libOstrel.so, true\n");
}

TEST(ToolTest, LocateSearchesTheEnvironmentDirectoryThenTheWorkingDirectory) {
    TempDir cwd;
    TempDir envDir;
    cwd.makeFile("here.conf");
    cwd.makeFile("both.conf");
    envDir.makeFile("share/both.conf");
    envDir.makeFile("deep/down/only.env");
    const std::vector<std::pair<std::string, std::string>> env = {
        {"MYAPP_DIR", envDir.path() + "/"}};

    const ToolRun local = runTool({"locate", "here.conf"}, cwd.path(), env);
    EXPECT_EQ(local.code, 0) << local.err;
    EXPECT_EQ(local.out, ".//here.conf\n");

    // Without --env the environment name is empty, so MYAPP_DIR is not a search directory.
    const ToolRun noEnv = runTool({"locate", "only.env"}, cwd.path(), env);
    EXPECT_EQ(noEnv.code, 1);
    EXPECT_EQ(noEnv.out, "");
    EXPECT_EQ(noEnv.err, "Info: AddSearchPath: " + normalisedBuildDir() +
                             "\nInfo: AddSearchPath: ./\nostrel locate: only.env not found\n");

    const ToolRun scanned = runTool({"locate", "--env", "MYAPP", "only.env"}, cwd.path(), env);
    EXPECT_EQ(scanned.code, 0) << scanned.err;
    // The match is built on the search directory as given: its trailing separator doubles.
    EXPECT_EQ(scanned.out, envDir.path() + "//deep/down/only.env\n");
    EXPECT_NE(scanned.err.find("Info: AddSearchPath: " + envDir.path() + "/\n"), std::string::npos);

    // The environment directory comes before the working directory.
    const ToolRun first =
        runTool({"locate", "--env=MYAPP", "--domain=share", "both.conf"}, cwd.path(), env);
    EXPECT_EQ(first.code, 0) << first.err;
    EXPECT_EQ(first.out, envDir.path() + "/share/both.conf\n");
}

TEST(ToolTest, InfoPrintsTheRecordThenTheSearchDirectories) {
    TempDir cwd;
    const ToolRun run = runTool({"info"}, cwd.path(), {{"OSTREL_DIR", "/opt/ostrel"}});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::string header = "=== SysInfo =======================================";
    const std::vector<std::string> out = lines(run.out);
    ASSERT_EQ(out.size(), 12U) << run.out;
    EXPECT_EQ(out[0], header);
    EXPECT_EQ(out[1], "env      Name: OSTREL");
    char resolved[4096];
    ASSERT_NE(realpath(tool().c_str(), resolved), nullptr);
    EXPECT_EQ(out[2], std::string("app      Name: ") + resolved);
    EXPECT_EQ(out[11], header);
    const std::string bundle = normalisedBuildDir();
    EXPECT_EQ(run.err, "Info: AddSearchPath: " + bundle +
                           "\nInfo: AddSearchPath: /opt/ostrel\nInfo: AddSearchPath: ./\n"
                           "Info: SearchDir: " +
                           bundle + "\nInfo: SearchDir: /opt/ostrel\nInfo: SearchDir: ./\n");
}

} // namespace
