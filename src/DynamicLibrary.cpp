#include <Ostrel/DynamicLibrary.h>

#include "Messages.h"

#include <cstdlib>
#include <iostream>

#include <dlfcn.h>

namespace Ostrel {

// Built at load in this order, right after FileLocator's domain names.
const std::string DynamicLibrary::defaultPrefix("lib");
const std::string DynamicLibrary::defaultSuffix(".so");

DynamicLibrary::Exception::Exception(const char* text, const char* detail)
    : _message(internal::composeMessage(text, detail)) {}

DynamicLibrary::Exception::~Exception() = default;

const char* DynamicLibrary::Exception::what() const {
    return _message.c_str();
}

DynamicLibrary::~DynamicLibrary() {
    if (handle != nullptr) {
        dlclose(handle);
    }
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle(other.handle) {
    other.handle = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        if (handle != nullptr) {
            dlclose(handle);
        }
        handle = other.handle;
        other.handle = nullptr;
    }
    return *this;
}

void DynamicLibrary::load(const char* name) {
    if (handle != nullptr) {
        throw Exception("Library already loaded", nullptr);
    }
    handle = dlopen(name, RTLD_LAZY);
    if (handle != nullptr) {
        return;
    }
    const char* error = dlerror();
    std::cout << (error != nullptr ? error : "") << std::endl;
    throw Exception("Cannot load library", error);
}

void DynamicLibrary::unload() {
    if (handle == nullptr) {
        throw Exception("No library loaded", nullptr);
    }
    const int result = dlclose(handle);
    handle = nullptr;
    if (result != 0) {
        throw Exception("Error while unloading library", dlerror());
    }
}

void* DynamicLibrary::getSymbol(const char* name) const {
    if (handle == nullptr) {
        throw Exception("No library loaded", nullptr);
    }
    void* address = dlsym(handle, name);
    if (address != nullptr) {
        return address;
    }
    if (const char* error = dlerror()) {
        throw Exception("Cannot get symbol", error);
    }
    return nullptr;
}

void DynamicLibrary::getSearchPath(std::vector<std::string>& dirs) {
    dirs.clear();
    if (const char* value = std::getenv("LD_LIBRARY_PATH")) {
        const std::string path(value);
        std::string::size_type start = 0;
        for (;;) {
            const std::string::size_type colon = path.find(':', start);
            const std::string::size_type end = colon == std::string::npos ? path.size() : colon;
            if (end > start) {
                dirs.push_back(path.substr(start, end - start));
            }
            if (colon == std::string::npos) {
                break;
            }
            start = colon + 1;
        }
    }
    dirs.emplace_back("/lib");
    dirs.emplace_back("/usr/lib");
}

} // namespace Ostrel
