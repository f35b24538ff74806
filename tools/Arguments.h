// The argument parsing that every ostrel command uses: a pure function of the argument list (no
// output, no system call), so that it can be tested and fuzzed on its own.
//
// Every command follows the same rules, those of parseArgs: "--name value" and "--name=value"
// both give an option its value; "--" ends the options; "--help" or "-h" where an option may
// stand asks for the command's help; any other word starting with "-" there is an unknown option.
// A lone "-" is an operand. Arguments that do not fit throw UsageError.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace OstrelTool {

using Args = std::vector<std::string>;

// Bad arguments: the tool prints the message and the command's usage on stderr and exits 2
// (ostrel run: 125).
struct UsageError {
    std::string message;
};

// "--help" or "-h" among the options: the tool prints the command's usage and help, exits 0.
struct HelpRequest {};

// An option a command takes: "--name", with a value when takesValue.
struct OptionSpec {
    const char* name;
    bool takesValue;
};

// No limit on the number of optional operands.
constexpr std::size_t anyNumber = static_cast<std::size_t>(-1);

// What a command accepts.
struct Syntax {
    std::vector<OptionSpec> options;
    // The names of the operands it needs, as its usage writes them ("missing DIR and PATTERN").
    std::vector<const char*> operands;
    // How many more operands it takes, or anyNumber.
    std::size_t optional = 0;
    // The first operand ends the options too: everything from it on is an operand, so that
    // "ostrel run /bin/ls --help" hands --help to ls.
    bool optionsEndAtOperand = false;
};

struct ParsedArgs {
    // Each option given, with its value ("" for one without); the last of a repeated one wins.
    std::map<std::string, std::string> options;
    Args operands;

    bool has(const std::string& name) const { return options.count(name) != 0; }
};

// Splits args by syntax. Throws HelpRequest, or UsageError: "unknown option \"WORD\"", "--NAME
// needs a value", "--NAME takes no value", "missing NAME [and NAME...]", "unexpected argument
// \"WORD\"".
ParsedArgs parseArgs(const Args& args, const Syntax& syntax);

} // namespace OstrelTool
