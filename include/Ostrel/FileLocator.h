/// \file
/// \brief The public header of Ostrel::FileLocator.

/// \class Ostrel::FileLocator
/// \brief Finds an application's files by name, optionally inside a domain
/// directory ("bin", "lib", "share"), in an ordered list of search directories.
///
/// The standard directories it can add for itself: the bundle directory two levels above the
/// executable (SearchBundle), the directory named by the environment variable envName + "_DIR"
/// of the SysInfo record (SearchEnvironment), and the working directory "./" (SearchLocal).
/// Every addition prints "Info: AddSearchPath: " and the directory on standard error; with
/// verbose true, locate and checkPath also trace what they try there. Every line is flushed.
/// Nothing throws except the standard allocation failures; a file not found is an empty string.
///
/// Thread safety: locate and checkPath may run on one locator from several threads at once, but
/// addSearchDir must not run while any other thread uses the same locator.
#pragma once

#include <Ostrel/Export.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Ostrel {

class OSTREL_API FileLocator {
public:
    /// The domain of a file: the sub-directory of a search directory it lives in.
    enum FileDomain {
        NoneDomain = 0, ///< No sub-directory: the file lies in the search directory itself.
        BinDomain = 1,  ///< Programs, in "bin".
        LibDomain = 2,  ///< Libraries and plug-ins, in "lib".
        DataDomain = 3  ///< Data files, in "share".
    };

    /// The bits of the standard search directories; other bits are ignored. Added in the order
    /// bundle, environment, local, whatever the order of the bits.
    enum SearchFlags : unsigned int {
        SearchEnvironment = 1, ///< The directory named by the variable envName + "_DIR".
        SearchBundle = 2,      ///< The bundle directory, two levels above the executable.
        SearchLocal = 4,       ///< The working directory, "./".
        SearchAll = SearchEnvironment | SearchBundle | SearchLocal ///< All three.
    };

    /// Stores flags and adds the standard directories they select (no default: say which).
    explicit FileLocator(unsigned int flags);
    /// Takes nothing from other: the new locator has no search directories and flags 0.
    FileLocator(FileLocator& other);
    /// Not assignable.
    FileLocator& operator=(const FileLocator&) = delete;
    /// Owns nothing but its list.
    virtual ~FileLocator();

    /// Appends dir exactly as given (empty, relative or repeated entries included).
    void addSearchDir(const std::string& dir);
    /// Appends the standard directories selected by flags.
    void addSearchDir(unsigned int flags);
    /// Prints "Info: SearchDir: " and each directory on standard error; the argument is unused.
    void dump(bool verbose);

    /// True exactly when stat succeeds on path; with verbose, prints "CheckPath: " path ", "
    /// true|false.
    bool checkPath(const std::string& path, bool verbose) const;
    /// The first path found in the search directories, in order: per directory the candidates
    /// dir + domain + "/" + name, dir + domain + "/" + sysClassName + "/" + name (both only with a
    /// domain), dir + "/" + name, then a recursive scan of dir with name as wildcard pattern.
    /// Returns the empty string when nothing is found.
    std::string locate(std::string name, FileDomain domain, bool verbose) const;
    /// Every path that locate would accept, in its order of precedence: per search directory
    /// the candidates that exist, then every match of the scan of its tree; the first is what
    /// locate returns (none when it returns the empty string). A path text reached twice (the
    /// third candidate and the scan's match of the same file) is listed once, where it comes
    /// first; the same file under two different texts is listed under both. It shows which
    /// file shadows which. Every search directory is scanned in full; nothing is printed.
    std::vector<std::string> locateAll(const std::string& name, FileDomain domain) const;

    /// The directory name of a domain; any value other than 1, 2 or 3 gives the empty name.
    static const std::string& domainDir(FileDomain domain);
    /// The standard directories of a domain as normalised paths (localPath is "./" + domain +
    /// "/", not normalised); environmentPath is empty when the variable is not set.
    static std::string bundlePath(FileDomain domain);
    static std::string environmentPath(FileDomain domain); ///< See bundlePath.
    static std::string localPath(FileDomain domain);       ///< See bundlePath.

    /// The flags given to the constructor; stored and never read by the library.
    std::uint32_t searchFlags;
    /// The search directories in the order they were added.
    std::vector<std::string> searchDirs;

private:
    static const std::string _binDomainDir;
    static const std::string _libDomainDir;
    static const std::string _dataDomainDir;
    static const std::string _noneDomainDir;
};

} // namespace Ostrel
