// The argument parsing that every ostrel command uses.
#include "Arguments.h"

namespace OstrelTool {

namespace {

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

} // namespace OstrelTool
