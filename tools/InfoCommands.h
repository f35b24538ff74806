// Argument parsing of ostrel info, normalize, scan and locate: pure functions of the argument
// list (no output, no system call), so that they can be tested and fuzzed on their own. Each
// throws UsageError for arguments that do not fit the command's usage.
#pragma once

#include "Commands.h"

#include <Ostrel/FileLocator.h>

#include <string>

namespace OstrelTool {

struct ScanArgs {
    std::string dir;
    std::string pattern;
    bool recursive = false;
};

struct LocateArgs {
    std::string name;
    Ostrel::FileLocator::FileDomain domain = Ostrel::FileLocator::NoneDomain;
    // The environment name handed to SysInfo::set; empty without --env.
    std::string envName;
    bool verbose = false;
};

// "info" takes no arguments.
void parseInfoArgs(const Args& args);
// The paths of "normalize", at least one; "--" ends the options, any other "-..." word before it
// is an unknown option.
Args parseNormalizeArgs(const Args& args);
// "scan DIR PATTERN [--recursive]"; the option may come anywhere, "--" ends the options.
ScanArgs parseScanArgs(const Args& args);
// "locate NAME [--domain none|bin|lib|share] [--env NAME] [--verbose]"; the options may come
// anywhere and take their value as the next word or after "=" (--domain=lib); "--" ends them.
LocateArgs parseLocateArgs(const Args& args);
// "none", "bin", "lib" or "share".
Ostrel::FileLocator::FileDomain parseDomain(const std::string& text);

} // namespace OstrelTool
