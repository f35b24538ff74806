// The subcommands of the ostrel tool. Each takes the arguments after its own name and returns the
// tool's exit code; one whose arguments do not fit its usage throws UsageError.
#pragma once

#include <string>
#include <vector>

namespace OstrelTool {

using Args = std::vector<std::string>;

// Bad arguments: the tool prints the message and the command's usage on stderr and exits 2.
struct UsageError {
    std::string message;
};

struct Command {
    const char* name;
    // The synopsis after "ostrel ", and the lines that explain it, for --help.
    const char* usage;
    const char* help;
    int (*run)(const Args& args);
    // The command hands its trailing arguments to another program (ostrel run): --help is then
    // its own only as the first argument, so "ostrel run /bin/ls --help" reaches ls.
    bool passesArguments = false;
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

// The table of every command, in the order --help lists them.
const std::vector<Command>& commands();

} // namespace OstrelTool
