// The argument parsing of the ostrel commands.
#include "Arguments.h"

#include <climits>
#include <utility>

namespace OstrelTool {

namespace {

using Ostrel::FileLocator;

bool isOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

const OptionSpec* findOption(const Syntax& syntax, const std::string& name) {
    for (const auto& option : syntax.options) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

// Stores the option that args[i] starts, taking its value from args[i + 1] when it needs one
// and has no "=": i then moves past the value.
void takeOption(const Args& args, std::size_t& i, const Syntax& syntax, ParsedArgs& parsed) {
    const std::string& word = args[i];
    const std::size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    const OptionSpec* option = findOption(syntax, name);
    if (option == nullptr) {
        throw UsageError{"unknown option \"" + word + "\""};
    }
    if (!option->takesValue) {
        if (equals != std::string::npos) {
            throw UsageError{name + " takes no value"};
        }
        parsed.options[name] = "";
    } else if (equals != std::string::npos) {
        parsed.options[name] = word.substr(equals + 1);
    } else if (i + 1 < args.size()) {
        parsed.options[name] = args[++i];
    } else {
        throw UsageError{name + " needs a value"};
    }
}

void checkOperandCount(const Args& operands, const Syntax& syntax) {
    const std::size_t needed = syntax.operands.size();
    if (operands.size() < needed) {
        std::string missing;
        for (std::size_t i = operands.size(); i < needed; ++i) {
            missing += (missing.empty() ? "" : " and ") + std::string(syntax.operands[i]);
        }
        throw UsageError{"missing " + missing};
    }
    if (syntax.optional != anyNumber && operands.size() - needed > syntax.optional) {
        throw UsageError{"unexpected argument \"" + operands[needed + syntax.optional] + "\""};
    }
}

} // namespace

ParsedArgs parseArgs(const Args& args, const Syntax& syntax) {
    ParsedArgs parsed;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (!options || !isOption(word)) {
            parsed.operands.push_back(word);
            options = options && !syntax.optionsEndAtOperand;
        } else if (word == "--") {
            options = false;
        } else if (word == "--help" || word == "-h") {
            throw HelpRequest{};
        } else {
            takeOption(args, i, syntax, parsed);
        }
    }
    checkOperandCount(parsed.operands, syntax);
    return parsed;
}

void parseInfoArgs(const Args& args) {
    parseArgs(args, {});
}

Args parseNormalizeArgs(const Args& args) {
    return parseArgs(args, {{}, {"PATH"}, anyNumber}).operands;
}

ScanArgs parseScanArgs(const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {{{"--recursive", false}}, {"DIR", "PATTERN"}});
    return {parsed.operands[0], parsed.operands[1], parsed.has("--recursive")};
}

FileLocator::FileDomain parseDomain(const std::string& text) {
    if (text == "none") {
        return FileLocator::NoneDomain;
    }
    if (text == "bin") {
        return FileLocator::BinDomain;
    }
    if (text == "lib") {
        return FileLocator::LibDomain;
    }
    if (text == "share") {
        return FileLocator::DataDomain;
    }
    throw UsageError{"unknown domain \"" + text + "\" (none, bin, lib or share)"};
}

LocateArgs parseLocateArgs(const Args& args) {
    ParsedArgs parsed =
        parseArgs(args, {{{"--domain", true}, {"--env", true}, {"--verbose", false}}, {"NAME"}});
    LocateArgs result;
    result.name = parsed.operands[0];
    if (parsed.has("--domain")) {
        result.domain = parseDomain(parsed.options["--domain"]);
    }
    result.envName = parsed.options["--env"];
    result.verbose = parsed.has("--verbose");
    return result;
}

RunOptions parseRunArgs(const Args& args) {
    ParsedArgs parsed = parseArgs(args, {{{"--timeout", true}}, {"PROGRAM"}, anyNumber, true});
    RunOptions options;
    if (parsed.has("--timeout")) {
        const std::string& ms = parsed.options["--timeout"];
        if (ms.empty() || ms.size() > 10 ||
            ms.find_first_not_of("0123456789") != std::string::npos || std::stol(ms) > INT_MAX) {
            throw UsageError{"bad number of milliseconds \"" + ms + "\""};
        }
        options.timeoutMs = std::stol(ms);
    }
    options.argv = std::move(parsed.operands);
    return options;
}

} // namespace OstrelTool
