// ostrel load NAME [SYMBOL...]: loads the shared library NAME and prints the address of each
// SYMBOL. A NAME without "/" is first looked for in the lib domain of the standard search
// directories. Every symbol is tried: a missing one gets its error line, and the tool exits 1 at
// the end.
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/FileLocator.h>

#include <iostream>
#include <string>

namespace OstrelTool {

namespace {

// A name without "/" is looked for in the lib domain first; when it is not found there the
// name goes to the loader unchanged, which applies its own search rules.
std::string locateLibrary(const std::string& name, bool verbose) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const Ostrel::FileLocator locator(Ostrel::FileLocator::SearchAll);
    const std::string path = locator.locate(name, Ostrel::FileLocator::LibDomain, verbose);
    return path.empty() ? name : path;
}

} // namespace

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

} // namespace OstrelTool
