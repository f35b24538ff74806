// ostrel info [--xdg]: hands the tool's arguments to the system information record, prints the
// record and then the standard search directories of a locator; with --xdg the user's base
// directories instead.
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

bool parseInfoArgs(const Args& args) {
    return parseArgs(args, {{{"--xdg", false}}, {}}).has("--xdg");
}

int info(const Args& args) {
    const bool xdg = parseInfoArgs(args);
    recordArguments(toolEnvName, "info", args);
    const Ostrel::SysInfo& record = *Ostrel::SysInfo::the();
    if (xdg) {
        std::cout << "config   Home: " << record.configHome() << '\n'
                  << "data     Home: " << record.dataHome() << '\n'
                  << "state    Home: " << record.stateHome() << '\n'
                  << "cache    Home: " << record.cacheHome() << '\n'
                  << "runtime   Dir: " << record.runtimeDir() << '\n';
        return ExitSuccess;
    }
    Ostrel::SysInfo::the()->dump();
    // The dump leaves its last line unflushed; the locator's lines follow on standard error.
    std::cout.flush();
    Ostrel::FileLocator locator(Ostrel::FileLocator::SearchAll);
    locator.dump(true);
    return ExitSuccess;
}

} // namespace OstrelTool
