// ostrel locate NAME [--domain none|bin|lib|share] [--env NAME] [--verbose]: finds NAME in the
// standard search directories of a locator and prints its path; exits 1 when it is not found.
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/FileLocator.h>

#include <iostream>

namespace OstrelTool {

using Ostrel::FileLocator;

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
