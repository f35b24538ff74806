// ostrel ldpath [--loader]: prints the library search path of DynamicLibrary, one directory per
// line; with --loader the directories the loader really searches for the tool.
#include "Commands.h"

#include <Ostrel/DynamicLibrary.h>

#include <iostream>
#include <string>
#include <vector>

namespace OstrelTool {

int ldpath(const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {{{"--loader", false}}, {}});
    std::vector<std::string> dirs;
    if (parsed.has("--loader")) {
        Ostrel::DynamicLibrary::getLoaderSearchPath(dirs);
    } else {
        Ostrel::DynamicLibrary::getSearchPath(dirs);
    }
    for (const auto& dir : dirs) {
        std::cout << dir << '\n';
    }
    return ExitSuccess;
}

} // namespace OstrelTool
