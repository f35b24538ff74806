// Finds a plug-in library through the standard search directories and calls into it.
//
// The search directories are, in this order: the bundle directory (two levels above this
// program, so build/ for build/bin/example_plugin), the directory named by the environment
// variable OSTREL_EXAMPLE_DIR when it is set, and the working directory. In each one the locator
// tries the lib domain ("lib/") first. Every directory it adds is reported on standard error as
// "Info: AddSearchPath: ...".
#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    // The environment name: OSTREL_EXAMPLE_DIR may name one more search directory.
    Ostrel::SysInfo::the()->set("OSTREL_EXAMPLE", argc, argv, false);

    Ostrel::FileLocator locator(Ostrel::FileLocator::SearchAll);
    const std::string path =
        locator.locate("libOstrelGreeter.so", Ostrel::FileLocator::LibDomain, false);
    if (path.empty()) {
        std::cerr << "libOstrelGreeter.so not found in the search directories\n";
        return 1;
    }
    std::cout << "found " << path << '\n';

    Ostrel::DynamicLibrary library;
    try {
        library.load(path.c_str());
        using Greeting = const char* (*)();
        auto greeting = reinterpret_cast<Greeting>(library.getSymbol("ostrelGreeting"));
        std::cout << greeting() << '\n';
        library.unload(); // the destructor would close it too, silently
    } catch (const Ostrel::DynamicLibrary::Exception& e) {
        // Not derived from std::exception: catch it by its own name.
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
