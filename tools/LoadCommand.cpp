// ostrel load NAME [--flags FLAG[,FLAG...]] [SYMBOL...]: loads the shared library NAME with the
// loader's flags, prints the file the loader mapped and the address of each SYMBOL. A NAME
// without "/" is first looked for in the lib domain of the standard search directories. Every
// symbol is tried: a missing one gets its error line, and the tool exits 1 at the end.
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/FileLocator.h>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <string>
#include <utility>

#include <dlfcn.h>

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

int parseLoadFlags(const std::string& text) {
    static const std::pair<const char*, int> names[] = {
        {"lazy", RTLD_LAZY},   {"now", RTLD_NOW},           {"global", RTLD_GLOBAL},
        {"local", RTLD_LOCAL}, {"nodelete", RTLD_NODELETE}, {"noload", RTLD_NOLOAD}};
    int flags = 0;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type comma = text.find(',', start);
        const std::string word = text.substr(start, comma - start);
        const auto* found = std::find_if(std::begin(names), std::end(names),
                                         [&](const auto& name) { return word == name.first; });
        if (found == std::end(names)) {
            throw UsageError{"unknown flag \"" + word +
                             "\" (lazy, now, global, local, nodelete or noload)"};
        }
        flags |= found->second;
        if (comma == std::string::npos) {
            return flags;
        }
        start = comma + 1;
    }
}

int load(const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {{{"--flags", true}}, {"NAME"}, anyNumber});
    const Args& names = parsed.operands;
    const int flags =
        parsed.has("--flags") ? parseLoadFlags(parsed.options.at("--flags")) : RTLD_LAZY;
    Ostrel::DynamicLibrary library;
    const std::string path = locateLibrary(names[0], false);
    try {
        loadLibrary(library, path, flags);
    } catch (const Ostrel::DynamicLibrary::Exception& error) {
        printError("load", error.what());
        return ExitFailure;
    }
    std::cout << "loaded: " << library.path() << '\n';
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
