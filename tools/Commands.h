// The subcommands of the ostrel tool. Each takes the arguments after its own name and returns the
// tool's exit code; each parses them first, throwing UsageError for arguments that do not fit its
// usage and HelpRequest for --help (Arguments.h). The parsers declared here are pure functions of
// the argument list (no output, no system call), so that they can be tested and fuzzed on their
// own; each is defined next to its command.
#pragma once

#include "Arguments.h"

#include <Ostrel/FileLocator.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

namespace OstrelTool {

// The tool's exit codes; ostrel run exits with its child's code when the child ends by itself.
enum ExitCode : int {
    ExitSuccess = 0,
    // The command failed: its error lines are on stderr.
    ExitFailure = 1,
    // The arguments do not fit the usage.
    ExitUsage = 2,
    // ostrel run: the time limit ended the child (with its signal; SIGKILL gives 128 + 9).
    ExitTimedOut = 124,
    // ostrel run and lock: a usage error, or the tool itself failed; ostrel lock: also a lock
    // file that cannot be opened.
    ExitRunFailed = 125,
    // ostrel run and lock: the program was found but cannot be run.
    ExitNotRunnable = 126,
    // ostrel run and lock: the program was not found.
    ExitNotFound = 127,
    // ostrel run and lock: plus the signal that ended the child.
    ExitSignalBase = 128,
};

struct Command {
    const char* name;
    // The synopsis after "ostrel ", and the lines that explain it: what --help, help and the
    // manual page print of the command.
    const char* usage;
    const char* help;
    int (*run)(const Args& args);
    // The exit code of a usage error: ostrel run keeps 2 for its child and uses ExitRunFailed.
    int usageExit = ExitUsage;
};

// The table of every command, in the order --help lists them.
const std::vector<Command>& commands();

// The command of that name, or null.
const Command* findCommand(const std::string& name);

// "ostrel [--help | --version] COMMAND [ARG...]" with args the words after "ostrel": runs the
// command, printing its help for --help and, for a usage error, the error and the usage on
// stderr; returns the tool's exit code.
int dispatch(const Args& args);

// What ostrel info prints: the record (the default), the XDG base directories (--xdg) or the
// limits (--limits).
enum class InfoView { Record, Xdg, Limits };

// "info [--xdg|--limits]"; both options together are a usage error ("--xdg and --limits exclude
// each other").
InfoView parseInfoArgs(const Args& args);
int info(const Args& args);

// "normalize PATH...": the paths, at least one.
Args parseNormalizeArgs(const Args& args);
int normalize(const Args& args);

struct ScanArgs {
    std::string dir;
    std::string pattern;
    bool recursive = false;
    bool sorted = false;
    bool follow = false;
    bool unknown = false;
    // 0: no limit; given, it implies recursive.
    unsigned maxDepth = 0;
    // -0: each path ends with a NUL byte instead of a newline.
    bool nul = false;
};

// "scan DIR PATTERN [--recursive] [--sorted] [--follow] [--unknown] [--max-depth N] [-0]"; N is
// 0 to 999999999 ("bad depth \"N\"" otherwise).
ScanArgs parseScanArgs(const Args& args);
int scan(const Args& args);

struct LocateArgs {
    std::string name;
    Ostrel::FileLocator::FileDomain domain = Ostrel::FileLocator::NoneDomain;
    // The environment name handed to SysInfo::set; empty without --env.
    std::string envName;
    bool verbose = false;
    // Every acceptable path in precedence order, not only the first.
    bool all = false;
};

// "locate NAME [--domain none|bin|lib|share] [--env NAME] [--verbose] [--all]".
LocateArgs parseLocateArgs(const Args& args);
// "none", "bin", "lib" or "share".
Ostrel::FileLocator::FileDomain parseDomain(const std::string& text);
int locate(const Args& args);

struct RunOptions {
    // The time limit in milliseconds; 0: none. A limit too long to represent is LLONG_MAX (about
    // 292 million years), which is never reached: no limit either.
    long long timeoutMs = 0;
    // How long the child has between the signal at the limit and SIGKILL, in milliseconds
    // (0: at once; LLONG_MAX: never).
    long long killAfterMs = 2000;
    // The signal sent at the limit, 1 to SIGRTMAX.
    int signal = SIGTERM;
    // Exit with the child's code even when the limit ended it, not 124.
    bool preserveStatus = false;
    // Print a line on stderr for each signal sent.
    bool verbose = false;
    // Keep the child in the tool's process group (for programs that read the terminal).
    bool foreground = false;
    // PROGRAM and its ARGs, never empty.
    std::vector<std::string> argv;
};

// "run [--timeout DURATION] [--kill-after DURATION] [--signal SIG] [--preserve-status] [--verbose]
// [--foreground] PROGRAM [ARG...]": the options only before PROGRAM. A DURATION is a decimal
// number of milliseconds, or of the unit after it (ms, s, m, h, d), rounded up to a whole
// millisecond ("bad duration \"TEXT\"" otherwise); SIG a signal's number or name, with or without
// "SIG", in any case (HUP, sigusr1, RTMIN+2; "bad signal \"TEXT\"" otherwise).
RunOptions parseRunArgs(const Args& args);
int run(const Args& args);

struct LockOptions {
    // A shared lock instead of the exclusive one.
    bool shared = false;
    // -1: wait as long as it takes; 0: try once; otherwise up to INT_MAX milliseconds.
    long timeoutMs = -1;
    // The exit code, 0 to 255, when the lock cannot be had within the limit; without it the code
    // is ExitFailure and a line on stderr says so.
    std::optional<int> conflictCode;
    std::string file;
    // PROGRAM and its ARGs, never empty.
    std::vector<std::string> argv;
};

// "lock [--shared] [--timeout MS] [--conflict-exit-code N] FILE PROGRAM [ARG...]": the options
// only before FILE; MS as for run, N 0 to 255 ("bad exit code \"N\"" otherwise).
LockOptions parseLockArgs(const Args& args);
int lock(const Args& args);

struct IpcArgs {
    enum Action { List, Remove };
    Action action = List;
    // Only the objects that no inspected process has open or mapped.
    bool stale = false;
    // Only the objects whose names begin with it.
    std::string prefix;
    bool json = false;
    // remove --stale even when some processes could not be inspected.
    bool force = false;
    // The names of remove without --stale, at least one.
    Args names;
};

// "ipc list [--stale] [--prefix TEXT] [--json]", "ipc remove NAME...", or "ipc remove --stale
// [--force] [--prefix TEXT]".
IpcArgs parseIpcArgs(const Args& args);
int ipc(const Args& args);

struct WatchArgs {
    bool recursive = false;
    bool json = false;
    // 0: no limit; otherwise 1 to INT_MAX events.
    long count = 0;
    // 0: no limit; otherwise up to INT_MAX milliseconds.
    long timeoutMs = 0;
    // At least one.
    Args paths;
};

// "watch [--recursive] [--json] [--count N] [--timeout MS] PATH...": N is 1 to INT_MAX ("bad
// count \"N\"" otherwise), MS 0 to INT_MAX ("bad number of milliseconds \"MS\"").
WatchArgs parseWatchArgs(const Args& args);
int watch(const Args& args);

// "load NAME [--flags FLAG[,FLAG...]] [SYMBOL...]": the RTLD_* flags of the comma-separated
// names lazy, now, global, local, nodelete and noload ("unknown flag \"WORD\"" otherwise).
int parseLoadFlags(const std::string& text);

// The commands below hand their arguments to parseArgs themselves.
int ldpath(const Args& args);
int load(const Args& args);
int road(const Args& args);
int help(const Args& args);

} // namespace OstrelTool
