// ostrel help, and the texts that --help prints.
#include "Help.h"

#include <iostream>

namespace OstrelTool {

const Command* findCommand(const std::string& name) {
    for (const auto& command : commands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

void printUsage(std::ostream& out) {
    out << "usage: ostrel COMMAND [ARG...]\n\ncommands:\n";
    for (const auto& command : commands()) {
        out << "  ostrel " << command.usage << '\n';
    }
    out << "\n\"ostrel help COMMAND\" explains one command; \"ostrel --version\" prints the "
           "version.\n";
}

void printCommandHelp(std::ostream& out, const Command& command) {
    out << "usage: ostrel " << command.usage << '\n' << command.help << '\n';
}

int help(const Args& args) {
    const Args names = parseArgs(args, {{}, {}, 1}).operands;
    if (names.empty()) {
        printUsage(std::cout);
        return ExitSuccess;
    }
    const Command* command = findCommand(names[0]);
    if (command == nullptr) {
        throw UsageError{"unknown command \"" + names[0] + "\""};
    }
    printCommandHelp(std::cout, *command);
    return ExitSuccess;
}

} // namespace OstrelTool
