// Ostrel::DynamicLibrary - loads one shared library through the dynamic loader, resolves its
// symbols and unloads it again.
//
// load passes the name to dlopen (RTLD_LAZY) unchanged: a name without "/" is searched by the
// loader's own rules; defaultPrefix and defaultSuffix are offered to callers that build file
// names and are used by no operation. Failures are thrown by value as DynamicLibrary::Exception:
//   load      "Library already loaded"                    (the loaded library stays loaded)
//   load      "Cannot load library - " + loader's text    (the text is also printed on stdout)
//   unload    "No library loaded"
//   unload    "Error while unloading library - " + text   (the object is unloaded all the same)
//   getSymbol "No library loaded"
//   getSymbol "Cannot get symbol - " + loader's text
// A symbol that exists with the value null is returned as null. Apart from the line of a failed
// load nothing is printed. The destructor closes a loaded library silently.
//
// Copying is forbidden; moving transfers the handle, so two objects never close the same one.
// Not thread-safe: one object is used by one thread at a time.
#pragma once

#include <Ostrel/Export.h>

#include <string>
#include <vector>

namespace Ostrel {

class OSTREL_API DynamicLibrary {
public:
    class OSTREL_API Exception {
    public:
        // The message is text, or text + " - " + detail when detail is not null.
        Exception(const char* text, const char* detail);
        virtual ~Exception();
        virtual const char* what() const;

    private:
        std::string _message;
    };

    DynamicLibrary() noexcept = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    // The source is left unloaded; a target that held a library closes it first.
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;

    void load(const char* name);
    void unload();
    void* getSymbol(const char* name) const;

    // Replaces the contents of dirs by the non-empty elements of LD_LIBRARY_PATH (split at ":",
    // unchanged, duplicates kept), followed by "/lib" and "/usr/lib".
    static void getSearchPath(std::vector<std::string>& dirs);

    static const std::string defaultPrefix; // "lib"
    static const std::string defaultSuffix; // ".so"

    // The loader's handle of the loaded library; null while none is loaded.
    void* handle = nullptr;
};

} // namespace Ostrel
