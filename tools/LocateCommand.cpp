// ostrel locate NAME [--domain none|bin|lib|share] [--env NAME] [--verbose] [--all]: finds NAME in
// the standard search directories of a locator and prints its path, or with --all every path the
// lookup accepts, in precedence order; exits 1 when it is not found.
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/FileLocator.h>

#include <iostream>
#include <string>
#include <vector>

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
    ParsedArgs parsed = parseArgs(
        args,
        {{{"--domain", true}, {"--env", true}, {"--verbose", false}, {"--all", false}}, {"NAME"}});
    LocateArgs result;
    result.name = parsed.operands[0];
    if (parsed.has("--domain")) {
        result.domain = parseDomain(parsed.options["--domain"]);
    }
    result.envName = parsed.options["--env"];
    result.verbose = parsed.has("--verbose");
    result.all = parsed.has("--all");
    return result;
}

int locate(const Args& args) {
    const LocateArgs parsed = parseLocateArgs(args);
    recordArguments(parsed.envName, "locate", args);
    const FileLocator locator(FileLocator::SearchAll);
    const std::vector<std::string> paths =
        parsed.all
            ? locator.locateAll(parsed.name, parsed.domain)
            : std::vector<std::string>{locator.locate(parsed.name, parsed.domain, parsed.verbose)};
    if (paths.empty() || paths.front().empty()) {
        printError("locate", parsed.name + " not found");
        return ExitFailure;
    }
    for (const auto& path : paths) {
        std::cout << path << '\n';
    }
    return ExitSuccess;
}

} // namespace OstrelTool
