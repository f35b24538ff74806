// The ostrel tool: its commands run as a program, and its argument parsers called directly.
#include "Commands.h"
#include "support/Support.h"

#include <Ostrel/SharedMemory.h>
#include <Ostrel/SharedSemaphore.h>
#include <Ostrel/Version.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include <unistd.h>

#include <dlfcn.h>

namespace {

// True when text matches pattern, in which '*' stands for any run of characters.
bool matches(const char* text, const char* pattern) {
    return *pattern == '*'
               ? matches(text, pattern + 1) || (*text != '\0' && matches(text + 1, pattern))
               : *text == *pattern && (*text == '\0' || matches(text + 1, pattern + 1));
}

// A shell command line run in a directory of its own with MYAPP_DIR set: exit code, out, err.
TEST(Tool, EveryCommandInOneTable) {
    const OstrelTest::TempDir dir;
    for (const char* file : {"cwd/sub/d.txt", "cwd/both.conf", "env/share/both.conf", "env/x/y"}) {
        dir.makeFile(file);
    }
    const OstrelTest::NamedObject shm;
    Ostrel::SharedMemory().allocate(shm.c_str(), 4096); // unmapped at once, the object stays
    const std::string env = dir.path + "/env/", tiny = TINY_LIBRARY, name = shm.name;
    // The bundle directory as the locator writes it: absolute, normalised, one trailing '/'.
    const std::string bundle = std::filesystem::canonical(OstrelTest::buildDir()).string() + "/";
    const std::string added = "Info: AddSearchPath: ", searched = added + bundle + "\n" + added;
    const std::string usage =
        "usage: ostrel COMMAND [ARG...]\n\ncommands:\n  ostrel info [--xdg|--limits]\n*";
    const std::string full = "ostrel: write error: No space left on device\n";
    const std::tuple<std::string, int, std::string, std::string> rows[] = {
        {"ostrel", 2, "", usage},
        {"ostrel bogus", 2, "", "ostrel: unknown command \"bogus\"\n" + usage},
        {"ostrel normalize", 2, "",
         "ostrel normalize: missing PATH\nusage: ostrel normalize PATH...\n"
         "Print each PATH normalised, one per line.\n"},
        {"ostrel run /usr/bin/printf '%s\\n' --help", 0, "--help\n", ""},
        {"for a in -x 'ldpath -x' 'run -x /bin/true' 'scan . p -x'; do ostrel $a; echo $?; done", 0,
         "2\n2\n2\n2\n",
         "ostrel: unknown option \"-x\"\n" + usage +
             "ostrel ldpath: unknown option*ostrel run: unknown*ostrel scan: unknown*"},
        {"ostrel --version && ostrel --help && ostrel help scan", 0,
         "ostrel " OSTREL_VERSION_STRING "\n" + usage +
             "usage: ostrel scan DIR PATTERN [--recursive] [--sorted]*\nPrint the entries*",
         ""},
        {"ostrel scan --recursive . 'd.*'", 0, "./sub/d.txt\n", ""},
        {"ostrel scan --sorted --max-depth 2 -0 . '*' | tr '\\0' :", 0,
         "./both.conf:./sub/d.txt:", ""},
        {"ostrel locate --all --env MYAPP both.conf", 0, env + "/share/both.conf\n.//both.conf\n",
         "*"},
        {"ostrel ldpath --loader", 0, "*" + bundle + "lib\n*", ""},
        {"ostrel load --flags noload " + tiny + "; ostrel load --flags now,global,nodelete " + tiny,
         0, "loaded: " + tiny + "\n", "ostrel load: Cannot load library\n"},
        {"taskset -c 0 ostrel info --limits; ostrel info --xdg --limits", 2,
         "CPU    online: *\nCPU  affinity: 1\nCPU     quota: *\nCPU available: 1\nmemory  total: "
         "*\nmemory cgroup: *\nmemory  limit: *\n",
         "ostrel info: --xdg and --limits exclude each other\nusage: ostrel info "
         "[--xdg|--limits]\n*"},
        {"HOME=/h XDG_CACHE_HOME=c XDG_RUNTIME_DIR=/r ostrel info --xdg", 0,
         "config   Home: /h/.config\ndata     Home: /h/.local/share\nstate    Home: "
         "/h/.local/state\ncache    Home: /h/.cache\nruntime   Dir: /r\n",
         ""},
        {"for a in --version help \"normalize $(seq 3000)\" road; do ostrel $a >/dev/full; "
         "echo $?; done",
         0, "1\n1\n1\n1\n", full + full + full + searched + "./\n" + full},
        {"ostrel locate --domain lib --verbose libOstrel.so", 0, bundle + "lib/libOstrel.so\n",
         searched + "./\nCheckPath: " + bundle + "lib/libOstrel.so, true\n"},
        {"ostrel locate --env MYAPP y", 0, env + "/x/y\n", searched + env + "\n" + added + "./\n"},
        {"ostrel locate --env=MYAPP --domain=share both.conf", 0, env + "share/both.conf\n", "*"},
        {"ostrel locate y", 1, "", "*\nostrel locate: y not found\n"},
        {"OSTREL_DIR=/opt/o ostrel info", 0,
         "=== SysInfo ===*\nenv      Name: OSTREL\napp      Name: " + bundle + "bin/ostrel\n*",
         searched + "/opt/o\n" + added + "./\nInfo: SearchDir: " + bundle +
             "\nInfo: SearchDir: /opt/o\nInfo: SearchDir: ./\n"},
        {"ostrel run -- /bin/sh -c 'echo hi; exit 3'", 3, "hi\n", ""},
        {"for s in 'exit 0' 'exit 3' 'exit 255' 'kill -TERM $$' 'kill -KILL $$' 'kill -SEGV $$'; "
         "do ostrel run sh -c \"ulimit -c 0; $s\"; echo $?; done",
         0, "0\n3\n255\n143\n137\n139\n", ""},
        {"touch f; for p in /nonexistent ./f . no-such-program; do ostrel run $p; echo $?; done", 0,
         "127\n126\n126\n127\n",
         "ostrel run: /nonexistent: Cannot run program - No such file or directory\n"
         "ostrel run: ./f: Cannot run program - Permission denied\n"
         "ostrel run: .: Cannot run program - Permission denied\n"
         "ostrel run: no-such-program: Cannot run program - No such file or directory\n"},
        {"ostrel run --timeout=100 /bin/sleep 30", 124, "",
         "ostrel run: /bin/sleep: timed out after 100 ms\n"},
        {"ostrel run --timeout 100 --kill-after=100 sh -c 'trap \"\" TERM; sleep 30'", 137, "",
         "ostrel run: sh: timed out after 100 ms, killed\n"},
        {"ostrel run --timeout 300 sh -c 'sleep 30 & echo $! >pid; wait'; echo $?; for i in $(seq "
         "100); do s=$(cut -d' ' -f3 /proc/$(cat pid)/stat 2>/dev/null); [ \"${s:-Z}\" = Z ] && "
         "echo gone && break; sleep 0.1; done",
         0, "124\ngone\n", "ostrel run: sh: timed out after 300 ms\n"}, // the grandchild too
        {"ostrel run /bin/sleep 30 & sleep 0.3; kill -TERM $!; wait $!", 143, "", ""},
        {"ostrel run --foreground /bin/sleep 30 & sleep 0.3; kill -HUP $!; wait $!", 129, "", ""},
        {"ostrel run /bin/sleep 30 & sleep 0.3; kill -INT $!; wait $!",
         OstrelTest::threadSanitizerBuild ? 143 : 130, "",
         ""}, // a ThreadSanitizer build cannot tell
        {"LD_LIBRARY_PATH=:/opt/a::/opt/b: ostrel ldpath", 0, "/opt/a\n/opt/b\n/lib\n/usr/lib\n",
         ""},
        {"ostrel load /nonexistent/libNo.so", 1, "",
         "ostrel load: Cannot load library - /nonexistent/libNo.so: cannot open shared object "
         "file: No such file or directory\n"},
        {"ostrel load " + tiny + " tinyAnswer nope tinyNull", 1,
         "loaded: " + tiny + "\ntinyAnswer: 0x*\ntinyNull: 0\n",
         "ostrel load: Cannot get symbol - " + tiny + ": undefined symbol: nope\n"},
        {"command -v groff >/dev/null || exit 1; "
         "ostrel help --man | groff -man -Tascii -P-cbou -rLL=200n -ww | sed 's/^ *//' >p && "
         "ostrel help | sed -n 's/^  //p' | grep -vxFf p",
         1, "", ""}, // the manual page renders cleanly and has every command's usage (with groff)
        {"bash -c '. " + bundle +
             "share/bash-completion/completions/ostrel; c() { COMP_WORDS=(\"$@\"); "
             "COMP_CWORD=$(($# - 1)); _ostrel; echo \"${COMPREPLY[*]}\"; }; c ostrel lo; "
             "c ostrel locate --d; c ostrel locate --domain l; c ostrel help r; c ostrel scan --m'",
         0, "locate load\n--domain\nlib\nrun road\n--max-depth\n", ""},
        {"ostrel ipc list", 0, "KIND *\nshm        4096 *  " + name + "\n*", ""},
        {"ostrel ipc remove " + name + " && ostrel ipc remove " + name, 1, "removed " + name + "\n",
         "ostrel ipc remove: no shared memory or semaphore named \"" + name + "\"\n"}};
    for (const auto& [command, code, out, err] : rows) {
        const auto run = OstrelTest::runTool("cd " + dir.path + "/cwd && unset OSTREL_DIR && " +
                                             "export MYAPP_DIR=" + env + " && " + command);
        EXPECT_EQ(run.code, code) << command;
        EXPECT_PRED2(matches, run.out.c_str(), out.c_str()) << command;
        EXPECT_PRED2(matches, run.err.c_str(), err.c_str()) << command;
    }
}

// ipc list names this process as a user of an object it maps; --stale and remove --stale take
// the object once it is unmapped, and leave one of the same prefix that a live child maps.
TEST(Tool, IpcUsersAndStaleObjects) {
    const OstrelTest::NamedObject mapped, used, gate;
    const std::string prefix = "ostrelTest" + std::to_string(getpid()) + "_";
    const std::string list = "ostrel ipc list --prefix " + prefix, self = std::to_string(getpid());
    const std::string header = "KIND       SIZE        OWNER      MODE  USERS       NAME\n";
    Ostrel::SharedMemory memory;
    memory.allocate(mapped.c_str(), 4096);
    EXPECT_PRED2(matches, OstrelTest::runTool(list).out.c_str(),
                 (header + "shm * " + self + " *  " + mapped.name + "\n").c_str());
    EXPECT_EQ(OstrelTest::runTool(list + " --stale").out, header);
    memory.free();
    EXPECT_PRED2(matches, OstrelTest::runTool(list + " --stale --json").out.c_str(),
                 ("{*\"objects\": [\n {\"kind\": \"shm\", \"name\": \"" + mapped.name +
                  "\", \"size\": 4096, *\"users\": []}\n]}\n")
                     .c_str());
    Ostrel::SharedSemaphore ready(gate.c_str(), 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        Ostrel::SharedMemory held;
        held.allocate(used.c_str(), 64);
        ready.up();
        std::this_thread::sleep_for(std::chrono::seconds(20));
        _exit(0);
    }
    ASSERT_TRUE(ready.downFor(10000));
    // The process that started the machine may escape inspection even for root: --force.
    const auto removed =
        OstrelTest::runTool("ostrel ipc remove --stale --force --prefix " + prefix);
    EXPECT_EQ(removed.out, "removed " + mapped.name + "\n");
    EXPECT_PRED2(matches, OstrelTest::runTool(list).out.c_str(),
                 ("*  " + std::to_string(child) + " *  " + used.name + "\n*").c_str());
    kill(child, SIGKILL);
    EXPECT_EQ(OstrelTest::waitForExit(child, 10000), 128 + SIGKILL);
}

// What a parser makes of args, printed, or "error: " + its message.
template <class Parse> std::string parsed(Parse parse, const OstrelTool::Args& args) try {
    return testing::PrintToString(parse(args));
} catch (const OstrelTool::UsageError& error) {
    return "error: " + error.message;
}

TEST(Tool, ArgumentParsers) {
    using namespace OstrelTool;
    const auto locate = [](const Args& a) {
        const LocateArgs l = parseLocateArgs(a);
        return std::make_tuple(l.name, l.domain, l.envName, l.verbose);
    };
    const auto run = [](const Args& a) {
        const RunOptions r = parseRunArgs(a);
        return std::make_tuple(r.timeoutMs, r.killAfterMs, r.foreground, r.argv);
    };
    EXPECT_EQ(parsed(parseNormalizeArgs, {"-", "--", "-x", "--"}), R"({ "-", "-x", "--" })");
    EXPECT_EQ(parsed(locate, {"--verbose", "n", "--domain=lib", "--env", "A"}),
              R"(("n", 2, "A", true))");
    EXPECT_EQ(parsed(locate, {"n", "m"}), "error: unexpected argument \"m\"");
    EXPECT_EQ(parsed(locate, {"n", "--env"}), "error: --env needs a value");
    EXPECT_EQ(parsed(parseScanArgs, {"--recursive=1"}), "error: --recursive takes no value");
    EXPECT_EQ(parsed(parseScanArgs, {}), "error: missing DIR and PATTERN");
    EXPECT_EQ(parsed(parseScanArgs, {"d", "p", "--max-depth=-1"}), "error: bad depth \"-1\"");
    const auto flags = [](const Args& a) { return parseLoadFlags(a[0]); };
    EXPECT_EQ(parsed(flags, {"now,global"}), std::to_string(RTLD_NOW | RTLD_GLOBAL));
    EXPECT_EQ(parsed(flags, {"now,"}),
              "error: unknown flag \"\" (lazy, now, global, local, nodelete or noload)");
    EXPECT_EQ(parsed(run, {"--timeout", "2147483647", "--", "--timeout"}),
              R"((2147483647, 2000, false, { "--timeout" }))");
    EXPECT_EQ(parsed(run, {"--kill-after=0", "--foreground", "p", "--foreground"}),
              R"((0, 0, true, { "p", "--foreground" }))");
    EXPECT_EQ(parsed(run, {"--timeout", "2147483648", "p"}),
              "error: bad number of milliseconds \"2147483648\"");
    const auto ipc = [](const Args& a) {
        const IpcArgs i = parseIpcArgs(a);
        return std::make_tuple(i.action, i.stale, i.prefix, i.json, i.force, i.names);
    };
    EXPECT_EQ(parsed(ipc, {"list", "--stale", "--prefix=p", "--json"}),
              R"((0, true, "p", true, false, {}))");
    EXPECT_EQ(parsed(ipc, {"remove", "--stale", "--force"}), R"((1, true, "", false, true, {}))");
    EXPECT_EQ(parsed(ipc, {"remove", "--stale", "n"}), "error: --stale takes no NAME");
    EXPECT_EQ(parsed(ipc, {"remove", "--force", "n"}),
              "error: --force and --prefix go with --stale");
    EXPECT_EQ(parsed(ipc, {"list", "--force"}), "error: --force goes with remove --stale");
}

} // namespace
