// What the ostrel tool writes besides a command's own output.
#pragma once

#include <string>

namespace OstrelTool {

// Prints "ostrel COMMAND: MESSAGE" on stderr, or "ostrel: MESSAGE" for an empty command, after
// flushing stdout so that the line comes after what the command printed before it.
void printError(const std::string& command, const std::string& message);

} // namespace OstrelTool
