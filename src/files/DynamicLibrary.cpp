#include <Ostrel/DynamicLibrary.h>

#include "Messages.h"

#include <cstdlib>
#include <iostream>
#include <memory>

#include <dlfcn.h>
#include <link.h>

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
    load(name, RTLD_LAZY);
}

void DynamicLibrary::load(const char* name, int flags) {
    if (handle != nullptr) {
        throw Exception("Library already loaded", nullptr);
    }
    if ((flags & (RTLD_LAZY | RTLD_NOW)) == 0) {
        flags |= RTLD_LAZY; // the loader refuses a mode without a binding
    }
    handle = dlopen(name, flags);
    if (handle != nullptr) {
        return;
    }
    const char* error = dlerror();
    if (error != nullptr) {
        std::cout << error << std::endl;
    }
    throw Exception("Cannot load library", error);
}

std::string DynamicLibrary::path() const {
    if (handle == nullptr) {
        throw Exception("No library loaded", nullptr);
    }
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
        return std::string();
    }
    return map->l_name;
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

void DynamicLibrary::getLoaderSearchPath(std::vector<std::string>& dirs) {
    dirs.clear();
    // The program's own handle; it needs no closing beyond the reference dlclose drops.
    void* program = dlopen(nullptr, RTLD_LAZY);
    if (program == nullptr) {
        return;
    }
    // The loader first says how large the list is, then fills a buffer of that size whose
    // header it has to find already set.
    Dl_serinfo size{};
    if (dlinfo(program, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof size) {
        const std::unique_ptr<unsigned char[]> buffer(new unsigned char[size.dls_size]);
        auto* info = reinterpret_cast<Dl_serinfo*>(buffer.get());
        info->dls_size = size.dls_size;
        info->dls_cnt = size.dls_cnt;
        if (dlinfo(program, RTLD_DI_SERINFO, info) == 0) {
            for (unsigned i = 0; i < info->dls_cnt; ++i) {
                dirs.emplace_back(info->dls_serpath[i].dls_name);
            }
        }
    }
    dlclose(program);
}

} // namespace Ostrel
