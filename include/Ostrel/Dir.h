/// \file
/// \brief The public header of Ostrel::Dir.

/// \class Ostrel::Dir
/// \brief A directory path held as text, edited like a shell user would, normalised on
/// request, and scanned for entries whose names match a wildcard pattern.
///
/// Editing and normalising never touch the file system: no symbolic link is resolved and a
/// relative path stays relative. Every edit appends exactly one separator without looking at what
/// the text already ends with, so un-normalised text may hold doubled separators; fixProp brings
/// it into canonical form ("." and ".." components and repeated separators gone, one trailing
/// separator, ".." never climbing above the start). Only isValid and the scans read the disk.
///
/// Nothing here throws except std::bad_alloc, and nothing prints. A Dir is a plain value: one
/// object must not be used by two threads at once; different objects may be used in parallel.
#pragma once

#include <Ostrel/Export.h>

#include <string>
#include <vector>

namespace Ostrel {

class OSTREL_API Dir {
public:
    /// Whether an edit leaves the text as built (AsGiven) or normalises it; any non-zero value
    /// normalises.
    enum DirProp {
        AsGiven = 0,  ///< Keep the text as the edit built it.
        Normalize = 1 ///< Normalise the text after the edit (fixProp).
    };

    /// The separator between path components, '/'.
    static const char _pathSeparator;

    /// An empty path.
    Dir() = default;
    /// Stores text unchanged: no separator is added and nothing is normalised.
    explicit Dir(const std::string& text) : path(text) {}
    /// Copies the text.
    Dir(const Dir& other) = default;
    /// Copies the text.
    Dir& operator=(const Dir& other) = default;
    /// Owns nothing but the text.
    ~Dir() = default;

    /// path becomes text followed by one separator.
    void setPath(const std::string& text, DirProp prop);
    /// Appends text (unchanged, even if it begins with a separator) and one separator.
    void changePath(const std::string& text, DirProp prop);
    /// Appends ".." and one separator.
    void changePathUp(DirProp prop);
    /// Normalises path in place; the argument's value does not change what it does.
    void fixProp(DirProp prop);
    /// Normalises first when prop is non-zero (the stored path changes even when the result is
    /// false), then reports whether path opens as a directory. Relative paths are resolved
    /// against the working directory. Every failure is a plain false.
    bool isValid(DirProp prop);

    /// The names below path that match pattern (fnmatch, no flags) as full path texts, in the
    /// order the directory reader returns them, depth first when recursive. Directories are
    /// descended into, never listed; symbolic links are listed, never descended into; the entry
    /// type comes from the directory reader alone (no stat). Unreadable directories contribute
    /// nothing.
    std::vector<std::string> scan(const std::string& pattern, bool recursive);
    /// Appends the matches to result and returns the number of elements result holds now.
    int scan(std::vector<std::string>& result, const std::string& pattern, bool recursive);
    /// The worker behind scan: reads dir rather than path and appends its matches to result.
    void scanDir(std::vector<std::string>& result, const std::string& dir,
                 const std::string& pattern, bool recursive);

    /// How scanWith walks the tree. The defaults give what scan(pattern, true) gives.
    struct ScanOptions {
        /// Descend into sub-directories; false lists the directory's own entries only.
        bool recursive = true;
        /// List each directory's entries in byte order of their names (strcmp), still depth
        /// first: a sub-directory's matches come where its name falls among its siblings.
        bool sorted = false;
        /// Ask fstatat (not following links) for the type of the entries that the directory
        /// reader reports as DT_UNKNOWN (XFS without ftype, some NFS, FUSE and ISO 9660 mounts),
        /// and only for those, so that their sub-directories are entered instead of listed.
        bool resolveUnknown = false;
        /// Descend into symbolic links to directories. Each directory (device, inode) is
        /// entered at most once per branch: a link to one of its own ancestors is listed like a
        /// file and not entered, so a loop ends, and a file reached through two links is listed
        /// once per path. A link is recognised by its type, so on a file system that reports
        /// unknown types it is followed only together with resolveUnknown. A link to a directory
        /// at the last level that maxDepth allows counts as a directory: neither listed nor
        /// entered.
        bool followLinks = false;
        /// fnmatch flags (FNM_PERIOD, FNM_CASEFOLD, FNM_NOESCAPE, ...). They change which names
        /// match, never which directories are entered.
        int matchFlags = 0;
        /// 1 lists the directory's own entries, 2 one level more, and so on (as find
        /// -maxdepth); 0 means no limit.
        unsigned maxDepth = 0;
    };

    /// The names below path that match pattern, as full path texts built like scan's, walked
    /// as options say. Like scan it lists every entry that is not a directory (links that are
    /// not followed, devices, sockets, pipes, unresolved unknown types) and never a directory,
    /// skips directories it cannot open, throws only std::bad_alloc, prints nothing, and
    /// changes nothing: different threads may call it on the same object.
    std::vector<std::string> scanWith(const std::string& pattern, const ScanOptions& options) const;

    /// The path text, read and written directly; edits and normalisation work on it.
    std::string path;
};

} // namespace Ostrel
