// The table of the ostrel commands: their names, usages, help texts and functions.
#include "Commands.h"

namespace OstrelTool {

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"info", "info", "Print the system information record and the standard search directories.",
         info},
        {"normalize", "normalize PATH...", "Print each PATH normalised, one per line.", normalize},
        {"scan", "scan DIR PATTERN [--recursive]",
         "Print the entries below DIR whose names match the wildcard PATTERN, one per line.", scan},
        {"locate", "locate NAME [--domain none|bin|lib|share] [--env NAME] [--verbose]",
         "Find NAME in the standard search directories (bundle, NAME_DIR, working directory)\n"
         "and print its path; exits 1 when it is not found. --env sets the environment name\n"
         "whose NAME_DIR variable names a search directory; --verbose traces the lookup.",
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
        {"ldpath", "ldpath", "Print the library search path, one directory per line.", ldpath},
        {"load", "load NAME [SYMBOL...]",
         "Load the shared library NAME and print the address of each SYMBOL. A NAME without \"/\"\n"
         "is first looked for in the lib domain of the standard search directories. Failures\n"
         "print the message on stderr and exit 1; every SYMBOL is tried all the same.",
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
