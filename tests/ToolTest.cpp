// The ostrel tool: its commands run as a program, and its argument parsers called directly.
#include "Commands.h"
#include "fault/Fault.h"
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
         "2\n2\n125\n2\n",
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
        {"touch f; printf '\\177ELF\\0' >b; chmod +x b; "
         "for p in /nonexistent ./f . no-such-program ./b; do ostrel run $p; echo $?; done",
         0, "127\n126\n126\n127\n126\n",
         "ostrel run: /nonexistent: Cannot run program - No such file or directory\n"
         "ostrel run: ./f: Cannot run program - Permission denied\n"
         "ostrel run: .: Cannot run program - Permission denied\n"
         "ostrel run: no-such-program: Cannot run program - No such file or directory\n"
         "ostrel run: ./b: Cannot run program - Exec format error\n"},
        {"printf 'echo script $0 $1\\n' >s; chmod +x s; "
         "ostrel run ./s a && PATH=.:$PATH ostrel run s b",
         0, "script ./s a\nscript ./s b\n", ""}, // no "#!": run by /bin/sh
        {"l='ostrel lock lk'; $l sh -c 'exit 3'; echo $?; $l sh -c 'kill -TERM $$'; echo $?; $l "
         "ostrel lock "
         "--timeout 0 lk true; echo $?; ostrel lock --shared lk ostrel lock --shared --timeout 0 "
         "lk "
         "echo shared; $l no-such-program; echo $?; ostrel lock /nonexistent/lk true; echo $?",
         0, "3\n143\n1\nshared\n127\n125\n",
         "ostrel lock: lk: already locked\n"
         "ostrel lock: no-such-program: Cannot run program - No such file or directory\n"
         "ostrel lock: /nonexistent/lk: Cannot open lock file - No such file or directory\n"},
        {"true; ostrel lock lk sh -c 'touch held; exec sleep 30' & for i in $(seq 1000); do [ -e "
         "held ] "
         "&& break; sleep 0.01; done; ostrel lock --timeout 100 lk true; echo $?; ostrel lock "
         "--conflict-exit-code 75 --timeout 0 lk true; echo $?; kill $!; wait $!",
         143, "1\n75\n",
         "ostrel lock: lk: still locked after 100 ms\n"}, // "true;" keeps cd out of the job
        {"ostrel run --timeout=100 /bin/sleep 30", 124, "",
         "ostrel run: /bin/sleep: timed out after 100 ms\n"},
        {"ostrel run --timeout 100 --kill-after=100 sh -c 'trap \"\" TERM; sleep 30'", 137, "",
         "ostrel run: sh: timed out after 100 ms, killed\n"},
        {"ostrel run --timeout 300 sh -c 'sleep 30 & echo $! >pid; wait'; echo $?; for i in $(seq "
         "100); do s=$(cut -d' ' -f3 /proc/$(cat pid)/stat 2>/dev/null); [ \"${s:-Z}\" = Z ] && "
         "echo gone && break; sleep 0.1; done",
         0, "124\ngone\n", "ostrel run: sh: timed out after 300 ms\n"}, // the grandchild too
        // Each signal goes to the child as itself (its trap answers), the tool waits for its end.
        {"for a in HUP INT 'QUIT --foreground' USR1 ALRM 'PIPE --foreground' TERM; do set -- $a; "
         "rm -f r; env --default-signal ostrel run $2 sh -c \"exec 2>&-; trap 'exit 7' $1; "
         "touch r; for i in \\$(seq 200); do sleep 0.05; done\" & "
         "for i in $(seq 1000); do [ -e r ] && break; sleep 0.01; done; "
         "kill -$1 $!; wait $!; echo $?; done",
         0, "7\n7\n7\n7\n7\n7\n7\n", ""},
        {"true; ostrel run sh -c 'trap \"exit 7\" TERM; echo $$ >pid; kill -STOP $$' & "
         "for i in $(seq 1000); do grep -qs 'T (stopped)' /proc/$(cat pid)/status && break; "
         "sleep 0.01; done; kill -TERM $!; wait $!",
         7, "", ""}, // woken by SIGCONT to take the signal
        {"ostrel run --timeout 300 sh -c 'kill -STOP $$; sleep 30'", 124, "",
         "ostrel run: sh: timed out after 300 ms\n"},
        {"(trap '' HUP CHLD; exec ostrel run sh -c 'kill -HUP $PPID $$; echo alive; exit 3')", 3,
         "alive\n", ""}, // ignored signals stay ignored, an ignored SIGCHLD does not
        {"ostrel run --timeout=0.3s --signal usr1 --preserve-status --verbose /bin/sleep 30", 138,
         "",
         "ostrel run: /bin/sleep: sending signal USR1\n"
         "ostrel run: /bin/sleep: timed out after 300 ms\n"},
        {"ostrel run --verbose --timeout 100 --kill-after 300 sh -c 'trap \"\" TERM; sleep 5' "
         ">&- 2>&-; echo $?",
         0, "137\n", ""}, // the tool's lines never reach its own pipe on descriptor 2
        {"(ostrel run --timeout 300 /bin/sleep 30; echo $? >code) 2>&1 | true; cat code", 0,
         "124\n", ""}, // the "timed out" line into a closed pipe
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
             "c ostrel locate --d; c ostrel locate --domain l; c ostrel help r; c ostrel scan --m; "
             "c ostrel run --p; c ostrel watch --j'",
         0, "locate lock load\n--domain\nlib\nrun road\n--max-depth\n--preserve-status\n--json\n",
         ""},
        // A watch starts in the background; the loop changes the file until the tool ends or
        // has printed, at most 10 s.
        {"mkdir wc; touch wc/f; ostrel watch --count 1 wc/f >wc.out & for i in $(seq 200); do "
         "kill -0 $! 2>/dev/null || break; echo x >>wc/f; sleep 0.05; done; wait $!; echo $?; "
         "cat wc.out",
         0, "0\nModified wc/f\n", ""},
        {R"sh(mkdir wj; n=$(printf 'wj/q"b\\\tz\303\251\377'); touch "$n"; ostrel watch --json --count 1 "$n" >wj.out &
              for i in $(seq 200); do kill -0 $! 2>/dev/null || break; touch "$n"; sleep 0.05; done; cat wj.out)sh",
         0,
         R"({"kind": "AttributesChanged", "path": "wj/q\"b\\\u0009zé\udcff", "oldPath": "", "directory": false})"
         "\n",
         ""},
        {"mkdir ws; touch ws/f; ostrel watch ws >ws.out & for i in $(seq 200); do "
         "[ -s ws.out ] && break; echo x >>ws/f; sleep 0.05; done; kill -TERM $!; wait $!; "
         "echo $?; head -n 1 ws.out",
         0, "0\nModified ws/f\n", ""},
        {"mkdir wt; ostrel watch --timeout 100 wt", 1, "", ""},
        {"ostrel watch --recursive nope/x", 2, "",
         "ostrel watch: Cannot watch nope/x - No such file or directory\n"},
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

// pidfd_open failing as where the system has none, under a seccomp filter or out of descriptors:
// the run looks at the child in steps instead. Every signal, the group's last SIGKILL included,
// comes before the child is reaped, while the group's id cannot belong to another process.
TEST(Tool, RunWithoutProcessDescriptors) {
    const OstrelTool::Args sleeper = {"--timeout", "100", "/bin/sleep", "10"};
    const OstrelTool::Args exit3 = {"/bin/sh", "-c", "exit 3"};
    const std::string late = "ostrel run: /bin/sleep: timed out after 100 ms\n";
    const struct {
        int error;
        OstrelTool::Args args;
        int code;
        std::string err;
    } rows[] = {{0, sleeper, 124, late},
                {ENOSYS, exit3, 3, ""},
                {EPERM, sleeper, 124, late},
                {EMFILE, exit3, 3, ""},
                {ENFILE, sleeper, 124, late}};
    for (const auto& row : rows) {
        OstrelTest::inChild([&row] {
            const OstrelFault::Inject faults{
                {"pidfd_open", row.error}, {"kill", 0}, {"waitpid", 0}};
            int result = -1;
            EXPECT_EQ(OstrelTest::captureStderr([&] { result = OstrelTool::run(row.args); }),
                      row.err);
            EXPECT_EQ(result, row.code) << row.error;
            EXPECT_EQ(OstrelFault::callCount("pidfd_open"), OstrelTest::fallbacksBuild ? 0 : 1);
            EXPECT_LT(OstrelFault::lastCall("kill"), OstrelFault::lastCall("waitpid"));
        });
    }
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
        return std::make_tuple(r.timeoutMs, r.killAfterMs, r.signal, r.preserveStatus, r.verbose,
                               r.foreground, r.argv);
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
    EXPECT_EQ(parsed(run, {"--timeout", "2147483648", "--", "--timeout"}),
              R"((2147483648, 2000, 15, false, false, false, { "--timeout" }))");
    EXPECT_EQ(parsed(run, {"--kill-after=0", "--foreground", "--verbose", "--preserve-status",
                           "--signal=sigUSR1", "p", "--foreground"}),
              R"((0, 0, 10, true, true, true, { "p", "--foreground" }))");
    // Rounded up to a millisecond; too long to represent is LLONG_MAX, never reached.
    const std::pair<const char*, std::string> limits[] = {
        {"1.5s", "1500"},
        {"1.1s", "1100"},
        {"2m", "120000"},
        {"1h", "3600000"},
        {"1d", "86400000"},
        {"7ms", "7"},
        {".5", "1"},
        {"0.0000000000000000000001d", "1"},
        {"0", "0"},
        {"106751991167d", "9223372036828800000"},
        {"9223372036854775.806s", "9223372036854775806"},
        {"106751991168d", "9223372036854775807"},
        {"99999999999999999999999", "9223372036854775807"},
        {"abc", "error: bad duration \"abc\""},
        {"-1", "error: bad duration \"-1\""},
        {"42D", "error: bad duration \"42D\""},
        {"1.2s.", "error: bad duration \"1.2s.\""},
        {"s", "error: bad duration \"s\""},
        {".", "error: bad duration \".\""}};
    for (const auto& [text, result] : limits) {
        EXPECT_EQ(parsed([](const Args& a) { return parseRunArgs(a).killAfterMs; },
                         {"--kill-after", text, "p"}),
                  result);
    }
    const std::pair<const char*, std::string> signals[] = {
        {"KILL", "9"},
        {"sigterm", "15"},
        {"64", "64"},
        {"RTMIN", std::to_string(SIGRTMIN)},
        {"rtmin+2", std::to_string(SIGRTMIN + 2)},
        {"SIGRTMAX-1", std::to_string(SIGRTMAX - 1)},
        {"0", "error: bad signal \"0\""},
        {"65", "error: bad signal \"65\""},
        {"RTMAX-31", "error: bad signal \"RTMAX-31\""},
        {"RTMIN-1", "error: bad signal \"RTMIN-1\""},
        {"SIG", "error: bad signal \"SIG\""},
        {"15x", "error: bad signal \"15x\""}};
    for (const auto& [text, result] : signals) {
        EXPECT_EQ(
            parsed([](const Args& a) { return parseRunArgs(a).signal; }, {"--signal", text, "p"}),
            result);
    }
    const auto lock = [](const Args& a) {
        const LockOptions l = parseLockArgs(a);
        return std::make_tuple(l.shared, l.timeoutMs, l.conflictCode.value_or(-1), l.file, l.argv);
    };
    EXPECT_EQ(parsed(lock, {"--shared", "--conflict-exit-code=0", "f", "p", "--shared"}),
              R"((true, -1, 0, "f", { "p", "--shared" }))");
    EXPECT_EQ(parsed(lock, {"--timeout", "0", "f"}), "error: missing PROGRAM");
    EXPECT_EQ(parsed(lock, {"--conflict-exit-code", "256", "f", "p"}),
              "error: bad exit code \"256\"");
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
    const auto watch = [](const Args& a) {
        const WatchArgs w = parseWatchArgs(a);
        return std::make_tuple(w.recursive, w.json, w.count, w.timeoutMs, w.paths);
    };
    EXPECT_EQ(parsed(watch, {"--json", "--count=3", "p", "--recursive", "q"}),
              R"((true, true, 3, 0, { "p", "q" }))");
    EXPECT_EQ(parsed(watch, {"--count", "0", "p"}), "error: bad count \"0\"");
    EXPECT_EQ(parsed(watch, {"--timeout=-1", "p"}), "error: bad number of milliseconds \"-1\"");
    EXPECT_EQ(parsed(watch, {"--json"}), "error: missing PATH");
}

} // namespace
