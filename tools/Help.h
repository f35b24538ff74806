// What the ostrel tool says about itself, all of it made from the command table (commands()).
#pragma once

#include "Commands.h"

#include <ostream>

namespace OstrelTool {

// "usage: ostrel COMMAND [ARG...]" and the usage of every command.
void printUsage(std::ostream& out);

// The usage of command and the lines that explain it.
void printCommandHelp(std::ostream& out, const Command& command);

// The manual page ostrel(1) in roff: every command's usage and help, between the texts about the
// whole tool.
void printManPage(std::ostream& out);

} // namespace OstrelTool
