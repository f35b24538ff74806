// ostrel scan DIR PATTERN [--recursive] [--sorted] [--follow] [--unknown] [--max-depth N] [-0]:
// prints the entries below DIR whose names match the wildcard PATTERN, one per line (or each
// ended by a NUL byte with -0); exits 1 when DIR is not a readable directory.
#include "Commands.h"
#include "Output.h"

#include <Ostrel/Dir.h>

#include <climits>
#include <iostream>

namespace OstrelTool {

ScanArgs parseScanArgs(const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {{{"--recursive", false},
                                                {"--sorted", false},
                                                {"--follow", false},
                                                {"--unknown", false},
                                                {"--max-depth", true},
                                                {"-0", false}},
                                               {"DIR", "PATTERN"}});
    ScanArgs result{parsed.operands[0], parsed.operands[1], parsed.has("--recursive")};
    result.sorted = parsed.has("--sorted");
    result.follow = parsed.has("--follow");
    result.unknown = parsed.has("--unknown");
    result.nul = parsed.has("-0");
    if (parsed.has("--max-depth")) {
        const std::string& depth = parsed.options.at("--max-depth");
        if (depth.empty() || depth.size() > 9 ||
            depth.find_first_not_of("0123456789") != std::string::npos) {
            throw UsageError{"bad depth \"" + depth + "\""};
        }
        result.maxDepth = static_cast<unsigned>(std::stoul(depth));
        result.recursive = true;
    }
    return result;
}

int scan(const Args& args) {
    const ScanArgs parsed = parseScanArgs(args);
    Ostrel::Dir dir(parsed.dir);
    if (!dir.isValid(Ostrel::Dir::AsGiven)) {
        printError("scan", parsed.dir + " is not a readable directory");
        return ExitFailure;
    }
    Ostrel::Dir::ScanOptions options;
    options.recursive = parsed.recursive;
    options.sorted = parsed.sorted;
    options.resolveUnknown = parsed.unknown;
    options.followLinks = parsed.follow;
    options.maxDepth = parsed.maxDepth;
    const char end = parsed.nul ? '\0' : '\n';
    for (const auto& match : dir.scanWith(parsed.pattern, options)) {
        std::cout << match << end;
    }
    return ExitSuccess;
}

} // namespace OstrelTool
