// What the ostrel tool writes besides a command's own output.
#include "Output.h"

#include <iostream>

namespace OstrelTool {

void printError(const std::string& command, const std::string& message) {
    std::cout.flush();
    std::cerr << "ostrel" << (command.empty() ? "" : " ") << command << ": " << message << '\n';
}

} // namespace OstrelTool
