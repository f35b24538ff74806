// ostrel info: hands the tool's arguments to the system information record, prints the record and
// then the standard search directories of a locator.
#include "CommandSupport.h"
#include "Commands.h"

#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include <iostream>

namespace OstrelTool {

namespace {

// The environment name of the tool itself: OSTREL_DIR names an extra search directory.
const char* const toolEnvName = "OSTREL";

} // namespace

void parseInfoArgs(const Args& args) {
    parseArgs(args, {});
}

int info(const Args& args) {
    parseInfoArgs(args);
    recordArguments(toolEnvName, "info", args);
    Ostrel::SysInfo::the()->dump();
    // The dump leaves its last line unflushed; the locator's lines follow on standard error.
    std::cout.flush();
    Ostrel::FileLocator locator(Ostrel::FileLocator::SearchAll);
    locator.dump(true);
    return ExitSuccess;
}

} // namespace OstrelTool
