// ostrel ldpath: prints the library search path of DynamicLibrary, one directory per line.
#include "Commands.h"

#include <Ostrel/DynamicLibrary.h>

#include <iostream>
#include <string>
#include <vector>

namespace OstrelTool {

int ldpath(const Args& args) {
    parseArgs(args, {});
    std::vector<std::string> dirs;
    Ostrel::DynamicLibrary::getSearchPath(dirs);
    for (const auto& dir : dirs) {
        std::cout << dir << '\n';
    }
    return ExitSuccess;
}

} // namespace OstrelTool
