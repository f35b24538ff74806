// ostrel: the library's services from a shell. "ostrel --help" lists the commands.
#include "Commands.h"
#include "Output.h"

#include <cstring>
#include <iostream>

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
        {"run", "run [--timeout MS] PROGRAM [ARG...]",
         "Run PROGRAM (the path as given, no PATH search) with the ARGs as a child process and\n"
         "exit with its exit code (255 when it cannot be run). --timeout kills a child still\n"
         "running after MS milliseconds and exits 124; SIGINT or SIGTERM to the tool kills the\n"
         "child and exits 130 or 143.",
         run},
        {"ldpath", "ldpath", "Print the library search path, one directory per line.", ldpath},
        {"load", "load NAME [SYMBOL...]",
         "Load the shared library NAME and print the address of each SYMBOL. A NAME without \"/\"\n"
         "is first looked for in the lib domain of the standard search directories. Failures\n"
         "print the message on stderr and exit 1.",
         load},
        {"road", "road",
         "Walk the lookup road: system record, locator with the standard directories, locate of\n"
         "libOstrel.so in the lib domain, load, getSymbol of an exported function, unload.",
         road},
        {"ipc", "ipc list | ipc remove NAME...",
         "List the named shared-memory objects and semaphores (kind, size, owner, mode, name),\n"
         "or remove those of each NAME; exits 1 when a NAME names neither.",
         ipc},
    };
    return table;
}

} // namespace OstrelTool

namespace {

void printUsage(std::ostream& out) {
    out << "usage: ostrel COMMAND [ARG...]\n\ncommands:\n";
    for (const auto& command : OstrelTool::commands()) {
        out << "  ostrel " << command.usage << '\n';
    }
    out << "\n\"ostrel COMMAND --help\" explains one command.\n";
}

void printCommandUsage(std::ostream& out, const OstrelTool::Command& command) {
    out << "usage: ostrel " << command.usage << '\n' << command.help << '\n';
}

// Runs the command that argv names and returns the tool's exit code.
int dispatch(int argc, char** argv) {
    if (argc < 2) {
        printUsage(std::cerr);
        return OstrelTool::ExitUsage;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        printUsage(std::cout);
        return OstrelTool::ExitSuccess;
    }
    for (const auto& command : OstrelTool::commands()) {
        if (command.name != std::string(argv[1])) {
            continue;
        }
        try {
            return command.run(OstrelTool::Args(argv + 2, argv + argc));
        } catch (const OstrelTool::HelpRequest&) {
            printCommandUsage(std::cout, command);
            return OstrelTool::ExitSuccess;
        } catch (const OstrelTool::UsageError& error) {
            OstrelTool::printError(command.name, error.message);
            printCommandUsage(std::cerr, command);
            return OstrelTool::ExitUsage;
        }
    }
    OstrelTool::printError("", "unknown command \"" + std::string(argv[1]) + "\"");
    printUsage(std::cerr);
    return OstrelTool::ExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    OstrelTool::CheckedStdout out;
    return out.finish(dispatch(argc, argv));
}
