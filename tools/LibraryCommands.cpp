// ostrel ldpath, load and road: the library search path, loading a library and resolving
// symbols, and the whole lookup road from the system record to a resolved symbol.
#include "Commands.h"
#include "Output.h"

#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include <iostream>
#include <string>
#include <vector>

namespace OstrelTool {

namespace {

// A name without "/" is looked for in the lib domain first; when it is not found there the
// name goes to the loader unchanged, which applies its own search rules.
std::string locateLibrary(const std::string& name, bool verbose) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const Ostrel::FileLocator locator(7);
    const std::string path = locator.locate(name, Ostrel::FileLocator::LibDomain, verbose);
    return path.empty() ? name : path;
}

// The library prints the loader's text of a failed load on stdout as well as in its exception;
// the tool prints the exception on stderr, and drops the copy on stdout.
void loadLibrary(Ostrel::DynamicLibrary& library, const std::string& path) {
    const DroppedStdout loaderText;
    library.load(path.c_str());
}

} // namespace

int ldpath(const Args& args) {
    parseArgs(args, {});
    std::vector<std::string> dirs;
    Ostrel::DynamicLibrary::getSearchPath(dirs);
    for (const auto& dir : dirs) {
        std::cout << dir << '\n';
    }
    return ExitSuccess;
}

// Every symbol is tried: a missing one gets its error line, and the tool exits 1 at the end.
int load(const Args& args) {
    const Args names = parseArgs(args, {{}, {"NAME"}, anyNumber}).operands;
    Ostrel::DynamicLibrary library;
    const std::string path = locateLibrary(names[0], false);
    try {
        loadLibrary(library, path);
    } catch (const Ostrel::DynamicLibrary::Exception& error) {
        printError("load", error.what());
        return ExitFailure;
    }
    std::cout << "loaded: " << path << '\n';
    int code = ExitSuccess;
    for (auto name = names.begin() + 1; name != names.end(); ++name) {
        try {
            const void* address = library.getSymbol(name->c_str());
            std::cout << *name << ": " << address << '\n';
        } catch (const Ostrel::DynamicLibrary::Exception& error) {
            printError("load", error.what());
            code = ExitFailure;
        }
    }
    return code;
}

int road(const Args& args) {
    parseArgs(args, {});
    // A member function of the library's own, exported and with a stable mangled name.
    static const char symbol[] = "_ZN6Ostrel14DynamicLibrary13getSearchPathERSt6vectorINSt7__"
                                 "cxx1112basic_stringIcSt11char_traitsIcESaIcEEESaIS7_EE";
    Ostrel::SysInfo* info = Ostrel::SysInfo::the();
    std::cout << "1 record: appName " << info->appName << ", sysClassName " << info->sysClassName
              << std::endl;
    const Ostrel::FileLocator locator(7);
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
