// Argument parsing of ostrel run: a pure function of the argument list (no output, no system
// call), so that it can be tested and fuzzed on its own.
#pragma once

#include "Commands.h"

#include <string>
#include <vector>

namespace OstrelTool {

struct RunOptions {
    // -1: no time limit; otherwise 0 to INT_MAX milliseconds.
    long timeoutMs = -1;
    // PROGRAM and its ARGs, never empty.
    std::vector<std::string> argv;
};

// "run [--timeout MS] PROGRAM [ARG...]"; --timeout counts only as the first word, everything
// from PROGRAM on belongs to the program. Throws UsageError.
RunOptions parseRunArgs(const Args& args);

} // namespace OstrelTool
