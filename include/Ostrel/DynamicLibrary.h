/// \file
/// \brief The public header of Ostrel::DynamicLibrary.

/// \class Ostrel::DynamicLibrary
/// \brief Loads one shared library through the dynamic loader, resolves its
/// symbols and unloads it again.
///
/// load passes the name to dlopen (RTLD_LAZY) unchanged: a name without "/" is searched by the
/// loader's own rules; defaultPrefix and defaultSuffix are offered to callers that build file
/// names and are used by no operation. Failures are thrown by value as DynamicLibrary::Exception:
///   load      "Library already loaded"                    (the loaded library stays loaded)
///   load      "Cannot load library - " + loader's text    (the text is also printed on stdout)
///   unload    "No library loaded"
///   unload    "Error while unloading library - " + text   (the object is unloaded all the same)
///   getSymbol "No library loaded"
///   getSymbol "Cannot get symbol - " + loader's text
/// A symbol that exists with the value null is returned as null. Apart from the line of a failed
/// load nothing is printed. The destructor closes a loaded library silently.
///
/// Copying is forbidden; moving transfers the handle, so two objects never close the same one.
/// Not thread-safe: one object is used by one thread at a time.
#pragma once

#include <Ostrel/Export.h>

#include <string>
#include <vector>

namespace Ostrel {

class OSTREL_API DynamicLibrary {
public:
    /// The component exception of DynamicLibrary, thrown by value; it has no base class, so
    /// catch it by its own name (std::exception does not catch it).
    class OSTREL_API Exception {
    public:
        /// The message is text, or text + " - " + detail when detail is not null.
        Exception(const char* text, const char* detail);
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;

    private:
        std::string _message;
    };

    /// An object with no library loaded.
    DynamicLibrary() noexcept = default;
    /// Closes a loaded library, silently.
    ~DynamicLibrary();
    /// Not copyable: one object owns one loader handle.
    /// @{
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    /// @}
    /// The source is left unloaded; a target that held a library closes it first.
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    /// Closes the library this object holds, then takes other's handle.
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;

    /// Opens name with dlopen(RTLD_LAZY), exactly as given: a name without "/" is searched by the
    /// loader's rules (LD_LIBRARY_PATH, the cache, the system directories), not by FileLocator.
    /// Throws the load texts of the class.
    void load(const char* name);
    /// Closes the library. Throws the unload texts of the class.
    void unload();
    /// The address of the symbol name (null for a symbol whose value is null). Throws the
    /// getSymbol texts of the class.
    void* getSymbol(const char* name) const;

    /// Replaces the contents of dirs by the non-empty elements of LD_LIBRARY_PATH (split at ":",
    /// unchanged, duplicates kept), followed by "/lib" and "/usr/lib".
    static void getSearchPath(std::vector<std::string>& dirs);

    /// "lib": the usual prefix of a library file name; offered to callers, used by no operation.
    static const std::string defaultPrefix;
    /// ".so": the usual suffix of a library file name; offered to callers, used by no operation.
    static const std::string defaultSuffix;

    /// The loader's handle of the loaded library; null while none is loaded.
    void* handle = nullptr;
};

} // namespace Ostrel
