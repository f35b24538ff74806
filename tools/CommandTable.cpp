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
        {"run", "run [--timeout MS] [--kill-after MS] [--foreground] PROGRAM [ARG...]",
         "Run PROGRAM with the ARGs as a child process (a name without \"/\" is looked up in\n"
         "PATH) in a process group of its own, and exit with its exit code, or 128 + N when\n"
         "signal N ended it. --timeout ends the group after MS milliseconds (0: no limit) and\n"
         "exits 124; SIGINT, SIGTERM or SIGHUP to the tool end it and exit 128 + N. Ending sends\n"
         "SIGTERM, then SIGKILL after --kill-after MS (default 2000; then the exit is 137).\n"
         "--foreground keeps the child in the tool's group, for programs that read the terminal.\n"
         "Exits 127 when PROGRAM is not found, 126 when it cannot be run, 125 when the tool\n"
         "fails.",
         run},
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
