// ostrel normalize PATH...: prints each path normalised by Dir, one per line.
#include "Commands.h"

#include <Ostrel/Dir.h>

#include <iostream>

namespace OstrelTool {

Args parseNormalizeArgs(const Args& args) {
    return parseArgs(args, {{}, {"PATH"}, anyNumber}).operands;
}

int normalize(const Args& args) {
    for (const auto& path : parseNormalizeArgs(args)) {
        Ostrel::Dir dir(path);
        dir.fixProp(Ostrel::Dir::Normalize);
        std::cout << dir.path << '\n';
    }
    return ExitSuccess;
}

} // namespace OstrelTool
