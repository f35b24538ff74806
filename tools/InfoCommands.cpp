// ostrel info, normalize, scan and locate.
#include "Commands.h"
#include "Output.h"

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

int info(const Args& args) {
    parseInfoArgs(args);
    recordArguments(toolEnvName, "info", args);
    SysInfo::the()->dump();
    // The dump leaves its last line unflushed; the locator's lines follow on standard error.
    std::cout.flush();
    FileLocator locator(FileLocator::SearchAll);
    locator.dump(true);
    return ExitSuccess;
}

int normalize(const Args& args) {
    for (const auto& path : parseNormalizeArgs(args)) {
        Dir dir(path);
        dir.fixProp(Dir::Normalize);
        std::cout << dir.path << '\n';
    }
    return ExitSuccess;
}

int scan(const Args& args) {
    const ScanArgs parsed = parseScanArgs(args);
    Dir dir(parsed.dir);
    if (!dir.isValid(Dir::AsGiven)) {
        printError("scan", parsed.dir + " is not a readable directory");
        return ExitFailure;
    }
    for (const auto& match : dir.scan(parsed.pattern, parsed.recursive)) {
        std::cout << match << '\n';
    }
    return ExitSuccess;
}

int locate(const Args& args) {
    const LocateArgs parsed = parseLocateArgs(args);
    recordArguments(parsed.envName, "locate", args);
    const FileLocator locator(FileLocator::SearchAll);
    const std::string path = locator.locate(parsed.name, parsed.domain, parsed.verbose);
    if (path.empty()) {
        printError("locate", parsed.name + " not found");
        return ExitFailure;
    }
    std::cout << path << '\n';
    return ExitSuccess;
}

} // namespace OstrelTool
