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

#include <iostream>
#include <string>

namespace OstrelTool {

int road(const Args& args) {
    parseArgs(args, {});
    // A member function of the library's own, exported and with a stable mangled name.
    static const char symbol[] = "_ZN6Ostrel14DynamicLibrary13getSearchPathERSt6vectorINSt7__"
                                 "cxx1112basic_stringIcSt11char_traitsIcESaIcEEESaIS7_EE";
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
        std::cout << "5 getSymbol Ostrel::DynamicLibrary::getSearchPath: "
                  << library.getSymbol(symbol) << std::endl;
        library.unload();
        std::cout << "6 unload: done" << std::endl;
    } catch (const Ostrel::DynamicLibrary::Exception& error) {
        printError("road", error.what());
        return ExitFailure;
    }
    return ExitSuccess;
}

} // namespace OstrelTool
