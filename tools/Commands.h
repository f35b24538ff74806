// The subcommands of the ostrel tool. Each takes the arguments after its own name and returns the
// tool's exit code; each parses them first (Arguments.h), throwing UsageError for arguments that
// do not fit its usage and HelpRequest for --help.
#pragma once

#include "Arguments.h"

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
    // ostrel run: the child was still running after --timeout and was killed.
    ExitTimedOut = 124,
    // ostrel run: plus the signal (SIGINT or SIGTERM) that stopped the tool and killed the child.
    ExitSignalBase = 128,
};

struct Command {
    const char* name;
    // The synopsis after "ostrel ", and the lines that explain it: what --help, help and the
    // manual page print of the command.
    const char* usage;
    const char* help;
    int (*run)(const Args& args);
};

int info(const Args& args);
int normalize(const Args& args);
int scan(const Args& args);
int locate(const Args& args);
int run(const Args& args);
int ldpath(const Args& args);
int load(const Args& args);
int road(const Args& args);
int ipc(const Args& args);
int help(const Args& args);

// The table of every command, in the order --help lists them.
const std::vector<Command>& commands();

// The command of that name, or null.
const Command* findCommand(const std::string& name);

// "ostrel [--help | --version] COMMAND [ARG...]" with args the words after "ostrel": runs the
// command, printing its help for --help and, for a usage error, the error and the usage on
// stderr; returns the tool's exit code.
int dispatch(const Args& args);

} // namespace OstrelTool
