// ostrel [--help | --version] COMMAND [ARG...]: the tool's own options, then the command that
// COMMAND names, run with the words after it.
#include "Commands.h"
#include "Help.h"
#include "Output.h"

#include <Ostrel/Version.h>

#include <iostream>

namespace OstrelTool {

namespace {

// Runs command with args; prints its help for --help, and for a usage error the error and the
// usage on stderr.
int runCommand(const Command& command, const Args& args) {
    try {
        return command.run(args);
    } catch (const HelpRequest&) {
        printCommandHelp(std::cout, command);
        return ExitSuccess;
    } catch (const UsageError& error) {
        printError(command.name, error.message);
        printCommandHelp(std::cerr, command);
        return command.usageExit;
    }
}

} // namespace

// The tool's own options end at COMMAND.
int dispatch(const Args& args) {
    ParsedArgs parsed;
    try {
        parsed = parseArgs(args, {{{"--version", false}}, {}, anyNumber, true});
    } catch (const HelpRequest&) {
        printUsage(std::cout);
        return ExitSuccess;
    } catch (const UsageError& error) {
        printError("", error.message);
        printUsage(std::cerr);
        return ExitUsage;
    }
    if (parsed.has("--version")) {
        std::cout << "ostrel " << OSTREL_VERSION_STRING << '\n';
        return ExitSuccess;
    }
    if (parsed.operands.empty()) {
        printUsage(std::cerr);
        return ExitUsage;
    }
    const Command* command = findCommand(parsed.operands[0]);
    if (command == nullptr) {
        printError("", "unknown command \"" + parsed.operands[0] + "\"");
        printUsage(std::cerr);
        return ExitUsage;
    }
    return runCommand(*command, Args(parsed.operands.begin() + 1, parsed.operands.end()));
}

} // namespace OstrelTool
