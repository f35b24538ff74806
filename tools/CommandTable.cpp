// The table of the ostrel commands: their names, usages, help texts and functions.
#include "Commands.h"

namespace OstrelTool {

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"info", "info [--xdg|--limits]",
         "Print the system information record, the processors and bytes of memory the tool may\n"
         "use (CPU available, memory limit) and the standard search directories; with --xdg,\n"
         "the user's base directories instead (XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_STATE_HOME,\n"
         "XDG_CACHE_HOME when absolute, else their defaults below HOME; XDG_RUNTIME_DIR). With\n"
         "--limits, what those two figures are made of, a line each: CPU online (processors\n"
         "online), CPU affinity (processors in the affinity mask), CPU quota (the tightest quota\n"
         "of the tool's cgroup and its ancestors, QUOTA/PERIOD microseconds in the cgroup's\n"
         "directory, or none), CPU available (the affinity count lowered to QUOTA/PERIOD rounded\n"
         "down, at least 1), memory total (physical memory in bytes), memory cgroup (the lowest\n"
         "cgroup memory limit in its cgroup's directory, or none), memory limit (the smaller).",
         info},
        {"normalize", "normalize PATH...", "Print each PATH normalised, one per line.", normalize},
        {"scan",
         "scan DIR PATTERN [--recursive] [--sorted] [--follow] [--unknown] [--max-depth N] [-0]",
         "Print the entries below DIR whose names match the wildcard PATTERN, one per line;\n"
         "directories are entered (with --recursive), never printed. --sorted lists each\n"
         "directory in byte order; --follow enters links to directories, each directory once per\n"
         "branch (a link that closes a loop is printed instead); --unknown asks the file system\n"
         "for the type of entries its directory reader reports as unknown; --max-depth N stops\n"
         "at N levels (1: DIR's own entries; implies --recursive); -0 ends each path with a NUL\n"
         "byte instead of a newline.",
         scan},
        {"locate", "locate NAME [--domain none|bin|lib|share] [--env NAME] [--verbose] [--all]",
         "Find NAME in the standard search directories (bundle, NAME_DIR, working directory)\n"
         "and print its path; exits 1 when it is not found. --env sets the environment name\n"
         "whose NAME_DIR variable names a search directory; --verbose traces the lookup; --all\n"
         "prints every path the lookup accepts, the one it returns first (scanning every\n"
         "directory in full).",
         locate},
        {"run",
         "run [--timeout DURATION] [--kill-after DURATION] [--signal SIG] [--preserve-status] "
         "[--verbose] [--foreground] PROGRAM [ARG...]",
         "Run PROGRAM with the ARGs as a child process (a name without \"/\" is looked up in\n"
         "PATH; a script without \"#!\" is run by /bin/sh) in a process group of its own, and\n"
         "exit with its exit code, or 128 + N when signal N ended it. A DURATION is in\n"
         "milliseconds, or in the unit after it (1.5s, 2m, 1h, 1d), rounded up to a whole\n"
         "millisecond; 0 is no limit, and so is one too long to represent. At the --timeout\n"
         "limit the group gets SIG (--signal, a name or number; default TERM) and SIGCONT, then\n"
         "SIGKILL after --kill-after (default 2000 ms); the tool exits 124, or 137 when SIGKILL\n"
         "was needed (with --preserve-status: the child's code). Any signal to the tool that\n"
         "would end it (HUP, INT, QUIT, TERM, USR1, USR2, ALRM, PIPE, ...) goes to the group as\n"
         "itself, followed by SIGCONT, and the tool exits as the child does; a signal that the\n"
         "caller ignores stays ignored. --verbose prints each signal sent. --foreground keeps the\n"
         "child in the tool's group, for programs that read the terminal: signals go to the\n"
         "child alone. Exits 127 when PROGRAM is not found, 126 when it cannot be run, 125 for a\n"
         "usage error or when the tool fails.",
         run, ExitRunFailed},
        {"lock", "lock [--shared] [--timeout MS] [--conflict-exit-code N] FILE PROGRAM [ARG...]",
         "Take a lock on FILE (created when missing, its contents left alone), run PROGRAM with\n"
         "the ARGs while holding it, and release it when PROGRAM ends; exit with PROGRAM's exit\n"
         "code, or 128 + N when signal N ended it. The lock excludes every other holder, or with\n"
         "--shared every exclusive one; the system releases it when its holder ends, even by\n"
         "SIGKILL. Without --timeout the tool waits as long as it takes; --timeout waits at most\n"
         "MS milliseconds (0: tries once). A lock not had in time exits 1 with a line on stderr,\n"
         "or N of --conflict-exit-code without one. SIGINT, SIGTERM, SIGHUP and SIGQUIT sent to\n"
         "the tool go to PROGRAM, so that the lock lasts until PROGRAM ends. Exits 127 when\n"
         "PROGRAM is not found, 126 when it cannot be run, 125 for a usage error or\n"
         "when FILE cannot be opened or locked.",
         lock, ExitRunFailed},
        {"ldpath", "ldpath [--loader]",
         "Print the library search path, one directory per line: LD_LIBRARY_PATH, /lib and\n"
         "/usr/lib; with --loader, the directories the loader really searches for a bare name\n"
         "(LD_LIBRARY_PATH, the tool's RUNPATH, the system and multiarch directories; its cache\n"
         "is consulted too but is not a directory).",
         ldpath},
        {"load", "load NAME [--flags FLAG[,FLAG...]] [SYMBOL...]",
         "Load the shared library NAME, print the file the loader mapped and the address of\n"
         "each SYMBOL. A NAME without \"/\" is first looked for in the lib domain of the standard\n"
         "search directories. --flags takes the loader's flags lazy (the default), now, global,\n"
         "local, nodelete, noload (only a library already loaded). Failures print the message on\n"
         "stderr and exit 1; every SYMBOL is tried all the same.",
         load},
        {"road", "road",
         "Walk the lookup road: system record, locator with the standard directories, locate of\n"
         "libOstrel.so in the lib domain, load, getSymbol of an exported function, unload.",
         road},
        {"ipc",
         "ipc list [--stale] [--prefix TEXT] [--json] | ipc remove NAME... | "
         "ipc remove --stale [--force] [--prefix TEXT]",
         "List the named shared-memory objects and semaphores (kind, size, owner, mode, the ids\n"
         "of the processes that have each open or mapped, name), or remove those of each NAME;\n"
         "exits 1 when a NAME names neither. Users are found in /proc/*/fd and /proc/*/maps by\n"
         "device and inode; processes the caller may not inspect are counted. --stale keeps the\n"
         "objects that no inspected process uses and prints on stderr how many processes could\n"
         "not be inspected; remove --stale removes exactly those, and refuses (exit 1) when some\n"
         "process could not be inspected, unless --force. --prefix keeps the names that begin\n"
         "with TEXT. --json prints {\"uninspected\": N, \"objects\": [{\"kind\", \"name\",\n"
         "\"size\", \"owner\", \"mode\", \"users\": [PID...]}...]} for scripts.",
         ipc},
        {"watch", "watch [--recursive] [--json] [--count N] [--timeout MS] PATH...",
         "Print the changes to each PATH as they come, one line each: KIND PATH, or KIND PATH\n"
         "OLDPATH for Renamed, a directory's path ending in \"/\". KIND is Created, Deleted,\n"
         "Modified, Renamed, AttributesChanged, or Overflow alone when the system lost events.\n"
         "A directory's entries are watched (with --recursive, the whole tree, new directories\n"
         "too); a file is watched through its directory, so a save by rename is Modified.\n"
         "--json prints one object per line, {\"kind\", \"path\", \"oldPath\", \"directory\"},\n"
         "any file name escaped (bytes that are not UTF-8 as \\udcXX). Ends after N events\n"
         "(--count), at SIGINT or SIGTERM (exit 0), or after MS milliseconds (--timeout; 0: no\n"
         "limit), exiting 1 when none came. A path that cannot be watched exits 2.",
         watch},
        {"help", "help [COMMAND] | help --man",
         "Print the usage of every command, or the usage and description of COMMAND as\n"
         "\"ostrel COMMAND --help\" does. --man prints the manual page ostrel(1) as roff source\n"
         "instead; the build makes ostrel.1 from it.",
         help},
    };
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const auto& command : commands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

} // namespace OstrelTool
