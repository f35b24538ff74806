// ostrel info [--xdg|--limits]: hands the tool's arguments to the system information record,
// prints the record with the processors and memory the process may use, and then the standard
// search directories of a locator; with --xdg the user's base directories instead, with --limits
// what the processors and memory available are made of.
#include "CommandSupport.h"
#include "Commands.h"

#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include <iostream>

namespace OstrelTool {

namespace {

// The environment name of the tool itself: OSTREL_DIR names an extra search directory.
const char* const toolEnvName = "OSTREL";

// The limits, a line each: a 15-character label, then the value.
void printLimits(const Ostrel::SysInfo& record) {
    const Ostrel::SysInfo::ResourceLimits limits = record.resourceLimits();
    std::cout << "CPU    online: " << record.cpuCount << '\n'
              << "CPU  affinity: " << limits.affinityCount << '\n'
              << "CPU     quota: ";
    if (limits.cpuPeriod == 0) {
        std::cout << "none\n";
    } else {
        std::cout << limits.cpuQuota << '/' << limits.cpuPeriod << " in " << limits.cpuQuotaGroup
                  << '\n';
    }
    std::cout << "CPU available: " << record.availableParallelism() << '\n'
              << "memory  total: " << limits.physicalMemory << '\n'
              << "memory cgroup: ";
    if (limits.memoryLimitGroup.empty()) {
        std::cout << "none\n";
    } else {
        std::cout << limits.cgroupMemoryLimit << " in " << limits.memoryLimitGroup << '\n';
    }
    std::cout << "memory  limit: " << record.memoryLimit() << '\n';
}

} // namespace

InfoView parseInfoArgs(const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {{{"--xdg", false}, {"--limits", false}}, {}});
    if (parsed.has("--xdg") && parsed.has("--limits")) {
        throw UsageError{"--xdg and --limits exclude each other"};
    }
    return parsed.has("--xdg")      ? InfoView::Xdg
           : parsed.has("--limits") ? InfoView::Limits
                                    : InfoView::Record;
}

int info(const Args& args) {
    const InfoView view = parseInfoArgs(args);
    recordArguments(toolEnvName, "info", args);
    const Ostrel::SysInfo& record = *Ostrel::SysInfo::the();
    if (view == InfoView::Limits) {
        printLimits(record);
        return ExitSuccess;
    }
    if (view == InfoView::Xdg) {
        std::cout << "config   Home: " << record.configHome() << '\n'
                  << "data     Home: " << record.dataHome() << '\n'
                  << "state    Home: " << record.stateHome() << '\n'
                  << "cache    Home: " << record.cacheHome() << '\n'
                  << "runtime   Dir: " << record.runtimeDir() << '\n';
        return ExitSuccess;
    }
    Ostrel::SysInfo::the()->dump();
    std::cout << "CPU available: " << record.availableParallelism() << '\n'
              << "memory  limit: " << record.memoryLimit() << '\n';
    // The locator's lines follow on standard error.
    std::cout.flush();
    Ostrel::FileLocator locator(Ostrel::FileLocator::SearchAll);
    locator.dump(true);
    return ExitSuccess;
}

} // namespace OstrelTool
