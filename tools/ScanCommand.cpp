// ostrel scan DIR PATTERN [--recursive]: prints the entries below DIR whose names match the
// wildcard PATTERN, one per line; exits 1 when DIR is not a readable directory.
#include "Commands.h"
#include "Output.h"

#include <Ostrel/Dir.h>

#include <iostream>

namespace OstrelTool {

ScanArgs parseScanArgs(const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {{{"--recursive", false}}, {"DIR", "PATTERN"}});
    return {parsed.operands[0], parsed.operands[1], parsed.has("--recursive")};
}

int scan(const Args& args) {
    const ScanArgs parsed = parseScanArgs(args);
    Ostrel::Dir dir(parsed.dir);
    if (!dir.isValid(Ostrel::Dir::AsGiven)) {
        printError("scan", parsed.dir + " is not a readable directory");
        return ExitFailure;
    }
    for (const auto& match : dir.scan(parsed.pattern, parsed.recursive)) {
        std::cout << match << '\n';
    }
    return ExitSuccess;
}

} // namespace OstrelTool
