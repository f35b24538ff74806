// ostrel info, normalize, scan and locate.
#include "InfoCommands.h"

#include <Ostrel/Dir.h>
#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include <iostream>

namespace OstrelTool {

namespace {

using Ostrel::Dir;
using Ostrel::FileLocator;
using Ostrel::SysInfo;

// The environment name of the tool itself: OSTREL_DIR names an extra search directory.
const char* const toolEnvName = "OSTREL";

bool isOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

// Hands the environment name and the tool's own arguments ("ostrel", the command, its
// arguments) to the system information record.
void recordArguments(const std::string& envName, const char* command, const Args& args) {
    std::vector<std::string> words{"ostrel", command};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    SysInfo::the()->set(envName, static_cast<int>(argv.size()), argv.data(), false);
}

} // namespace

void parseInfoArgs(const Args& args) {
    if (!args.empty()) {
        throw UsageError{"unexpected argument \"" + args.front() + "\""};
    }
}

Args parseNormalizeArgs(const Args& args) {
    Args paths;
    bool options = true;
    for (const auto& word : args) {
        if (options && word == "--") {
            options = false;
        } else if (options && isOption(word)) {
            throw UsageError{"unknown option \"" + word + "\""};
        } else {
            paths.push_back(word);
        }
    }
    if (paths.empty()) {
        throw UsageError{"missing PATH"};
    }
    return paths;
}

ScanArgs parseScanArgs(const Args& args) {
    ScanArgs result;
    Args positional;
    bool options = true;
    for (const auto& word : args) {
        if (options && word == "--") {
            options = false;
        } else if (options && word == "--recursive") {
            result.recursive = true;
        } else if (options && isOption(word)) {
            throw UsageError{"unknown option \"" + word + "\""};
        } else {
            positional.push_back(word);
        }
    }
    if (positional.size() < 2) {
        throw UsageError{positional.empty() ? "missing DIR and PATTERN" : "missing PATTERN"};
    }
    if (positional.size() > 2) {
        throw UsageError{"unexpected argument \"" + positional[2] + "\""};
    }
    result.dir = positional[0];
    result.pattern = positional[1];
    return result;
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
    LocateArgs result;
    Args positional;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (!options || !isOption(word)) {
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            options = false;
            continue;
        }
        if (word == "--verbose") {
            result.verbose = true;
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string option = word.substr(0, equals);
        if (option != "--domain" && option != "--env") {
            throw UsageError{"unknown option \"" + word + "\""};
        }
        std::string value;
        if (equals != std::string::npos) {
            value = word.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            throw UsageError{option + " needs a value"};
        }
        if (option == "--domain") {
            result.domain = parseDomain(value);
        } else {
            result.envName = value;
        }
    }
    if (positional.empty()) {
        throw UsageError{"missing NAME"};
    }
    if (positional.size() > 1) {
        throw UsageError{"unexpected argument \"" + positional[1] + "\""};
    }
    result.name = positional[0];
    return result;
}

int info(const Args& args) {
    parseInfoArgs(args);
    recordArguments(toolEnvName, "info", args);
    SysInfo::the()->dump();
    // The dump leaves its last line unflushed; the locator's lines follow on standard error.
    std::cout.flush();
    FileLocator locator(FileLocator::SearchAll);
    locator.dump(true);
    return 0;
}

int normalize(const Args& args) {
    for (const auto& path : parseNormalizeArgs(args)) {
        Dir dir(path);
        dir.fixProp(Dir::Normalize);
        std::cout << dir.path << '\n';
    }
    return 0;
}

int scan(const Args& args) {
    const ScanArgs parsed = parseScanArgs(args);
    Dir dir(parsed.dir);
    if (!dir.isValid(Dir::AsGiven)) {
        std::cerr << "ostrel scan: " << parsed.dir << " is not a readable directory\n";
        return 1;
    }
    for (const auto& match : dir.scan(parsed.pattern, parsed.recursive)) {
        std::cout << match << '\n';
    }
    return 0;
}

int locate(const Args& args) {
    const LocateArgs parsed = parseLocateArgs(args);
    recordArguments(parsed.envName, "locate", args);
    const FileLocator locator(FileLocator::SearchAll);
    const std::string path = locator.locate(parsed.name, parsed.domain, parsed.verbose);
    if (path.empty()) {
        std::cerr << "ostrel locate: " << parsed.name << " not found\n";
        return 1;
    }
    std::cout << path << '\n';
    return 0;
}

} // namespace OstrelTool
