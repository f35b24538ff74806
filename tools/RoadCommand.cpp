// ostrel road: walks the lookup road and prints a numbered line for each step: the system
// information record, a locator with the standard directories, the locate of libOstrel.so in the
// lib domain, its load, getSymbol of an exported function and the unload. A failed step ends the
// walk with exit code 1.
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include <dlfcn.h>

#include <iostream>
#include <string>

namespace OstrelTool {

namespace {

// The name of the exported symbol at function's address, as the compiler mangled it; empty when
// no symbol starts exactly there.
std::string symbolNameOf(const void* function) {
    Dl_info info{};
    if (dladdr(function, &info) == 0 || info.dli_sname == nullptr || info.dli_saddr != function) {
        return "";
    }
    return info.dli_sname;
}

} // namespace

int road(const Args& args) {
    parseArgs(args, {});
    Ostrel::SysInfo* info = Ostrel::SysInfo::the();
    std::cout << "1 record: appName " << info->appName << ", sysClassName " << info->sysClassName
              << std::endl;
    const Ostrel::FileLocator locator(Ostrel::FileLocator::SearchAll);
    std::cout << "2 locator: " << locator.searchDirs.size() << " search directories" << std::endl;
    const std::string path = locator.locate("libOstrel.so", Ostrel::FileLocator::LibDomain, false);
    std::cout << "3 locate libOstrel.so in lib: " << (path.empty() ? "(not found)" : path)
              << std::endl;
    if (path.empty()) {
        return ExitFailure;
    }
    try {
        Ostrel::DynamicLibrary library;
        loadLibrary(library, path);
        std::cout << "4 load: handle " << library.handle << std::endl;
        // A function of the library's own, exported; its address in the copy the tool is linked
        // with names it.
        const std::string symbol =
            symbolNameOf(reinterpret_cast<const void*>(&Ostrel::DynamicLibrary::getSearchPath));
        if (symbol.empty()) {
            printError("road", "no exported symbol at Ostrel::DynamicLibrary::getSearchPath");
            return ExitFailure;
        }
        std::cout << "5 getSymbol Ostrel::DynamicLibrary::getSearchPath: "
                  << library.getSymbol(symbol.c_str()) << std::endl;
        library.unload();
        std::cout << "6 unload: done" << std::endl;
    } catch (const Ostrel::DynamicLibrary::Exception& error) {
        printError("road", error.what());
        return ExitFailure;
    }
    return ExitSuccess;
}

} // namespace OstrelTool
