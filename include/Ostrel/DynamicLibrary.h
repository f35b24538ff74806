/// \file
/// \brief The public header of Ostrel::DynamicLibrary.

/// \class Ostrel::DynamicLibrary
/// \brief Loads one shared library through the dynamic loader, resolves its
/// symbols and unloads it again.
///
/// load passes the name to dlopen (RTLD_LAZY, or the caller's flags) unchanged: a name without
/// "/" is searched by the loader's own rules; defaultPrefix and defaultSuffix are offered to
/// callers that build file names and are used by no operation. Failures are thrown by value as
/// DynamicLibrary::Exception:
///   load      "Library already loaded"                    (the loaded library stays loaded)
///   load      "Cannot load library - " + loader's text    (the text is also printed on stdout)
///   load      "Cannot load library"                       (a failure the loader gives no text
///                                                          for, as RTLD_NOLOAD of a library not
///                                                          loaded; nothing printed)
///   path      "No library loaded"
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
    /// Opens name with dlopen and the loader's RTLD_* flags (RTLD_NOW, RTLD_GLOBAL,
    /// RTLD_NODELETE, RTLD_NOLOAD, ...), RTLD_LAZY added when neither RTLD_LAZY nor RTLD_NOW is
    /// given; load(name) is load(name, RTLD_LAZY). Throws and prints as load(name) does, except
    /// that a failure for which the loader gives no text (RTLD_NOLOAD of a library that is not
    /// loaded) throws "Cannot load library" alone and prints nothing.
    void load(const char* name, int flags);
    /// The file the loader mapped for the loaded library, as its link map records it: the path
    /// found in the search directories for a bare name (absolute unless a search directory is
    /// relative), the name as given when it holds "/", empty for the program itself (a null
    /// name). Throws "No library loaded" when none is.
    std::string path() const;
    /// Closes the library. Throws the unload texts of the class.
    void unload();
    /// The address of the symbol name (null for a symbol whose value is null). Throws the
    /// getSymbol texts of the class.
    void* getSymbol(const char* name) const;

    /// Replaces the contents of dirs by the non-empty elements of LD_LIBRARY_PATH (split at ":",
    /// unchanged, duplicates kept), followed by "/lib" and "/usr/lib".
    static void getSearchPath(std::vector<std::string>& dirs);
    /// Replaces the contents of dirs by the directories the loader really searches, in its
    /// order, when the program loads a bare name: LD_LIBRARY_PATH, the program's RUNPATH (or
    /// RPATH), and the system directories with their multiarch and hardware-capability variants
    /// (dlinfo RTLD_DI_SERINFO of the program). The loader's cache (/etc/ld.so.cache), consulted
    /// between RUNPATH and the system directories, is not a directory and is not listed. A
    /// library's own RUNPATH, which applies to the names that library loads, is not included.
    /// Leaves dirs empty when the loader cannot say.
    static void getLoaderSearchPath(std::vector<std::string>& dirs);

    /// "lib": the usual prefix of a library file name; offered to callers, used by no operation.
    static const std::string defaultPrefix;
    /// ".so": the usual suffix of a library file name; offered to callers, used by no operation.
    static const std::string defaultSuffix;

    /// The loader's handle of the loaded library; null while none is loaded.
    void* handle = nullptr;
};

} // namespace Ostrel
