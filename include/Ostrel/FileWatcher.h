/// \file
/// \brief The public header of Ostrel::FileWatcher.

/// \class Ostrel::FileWatcher
/// \brief Changes to files and directories, as events taken without waiting or waited for, and a
/// descriptor for a program's own poll loop (inotify).
///
/// add() watches a directory, or a file through its directory:
/// - A directory: events about its entries, with the entry's path (the directory's path as given,
///   trailing separators aside, + "/" + the name). With recursive, every directory below it is
///   watched too, those created or moved in later as well: a new directory is scanned after its
///   watch is added and each entry it already holds is reported as Created (depth first, each
///   directory before what it holds), so that nothing made in between is missed.
/// - Anything else (a file, or a path that does not exist yet while its directory does): its
///   directory is watched, filtered to its name, and events carry the path as given. A save that
///   writes a temporary file and renames it over the original is Modified of the file (Created
///   when it did not exist), as is a write in place, and the watch outlives it. A rename of the
///   file away is Deleted; recursive has no meaning here.
///
/// Events, in the order they happened:
/// - Created, Deleted, Modified (writes; several writes to one path taken together are one
///   event), AttributesChanged (mode, owner, times, links).
/// - Renamed for a move inside what is watched, with both paths: the two halves of a move are
///   joined also when they are read apart. A move out is Deleted, a move in Created. A first half
///   whose second has not come when the queue is read empty is held, with every event after it,
///   for 20 ms (fd() becomes readable when that time is up); then it counts as a move out. A move
///   whose second half comes later than that (a renaming thread held off the processor for
///   longer) is reported as Deleted and Created.
/// - Overflow, once, with an empty path, when the system's queue overflowed and events were lost:
///   the caller rescans what it watches. The watches of recursive trees are brought up to date
///   before it is returned (directories created in the lost time are watched, not reported).
/// - Deleted of a watched directory itself (the one given to add()), when it is deleted or moved
///   away, and AttributesChanged when its attributes change. A watch whose directory is deleted
///   or moved away ends, for a watched file too (its Deleted comes first when it existed): add
///   the path again once it is back.
///
/// A directory reached by two paths (a link, "." and "./") is watched once, under the first path;
/// a file whose directory is watched in full gets the directory's events (a save by rename is
/// then Renamed from the temporary name). Symbolic links are not followed below a watched
/// directory; a link given to add() is followed when it names a directory, and watched as a name
/// in its own directory otherwise.
///
/// Failures throw FileWatcher::Exception (by value; no base class) with the error number:
///   constructor      "Cannot create file watcher - " + the system's text
///   add, take, ...   "Cannot watch " + path + " - " + the system's text; at the system's watch
///                    limit: "... - No space left on device (fs.inotify.max_user_watches is N)"
///   take, waitFor    "Cannot read file events - " + the system's text
/// add() that throws leaves no new watch behind. A directory created later that cannot be
/// watched (the limit, permissions) makes take() or waitFor() throw; the events read with it are
/// kept and returned by the next call, and that directory stays unwatched. A directory that is
/// gone before its watch is added is not an error (its Deleted follows). remove() of a path that
/// is not watched does nothing.
///
/// The descriptors are close-on-exec. Not thread-safe: an object has no lock; one thread at a time
/// uses it (fd() may be polled from any thread).
#pragma once

#include <Ostrel/Export.h>

#include <memory>
#include <string>
#include <vector>

namespace Ostrel {

class OSTREL_API FileWatcher {
public:
    /// The component exception of FileWatcher, thrown by value; it has no base class.
    class OSTREL_API Exception {
    public:
        /// The message is text + " - " + the system's text of error, then " (" + note + ")" when
        /// note is not empty.
        Exception(const std::string& text, int error, const std::string& note = std::string());
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;
        /// The error number (ENOENT, ENOSPC, ...).
        int error() const noexcept { return _error; }

    private:
        std::string _message;
        int _error;
    };

    /// What happened to a path.
    enum Kind {
        Created,           ///< The entry appeared: made, or moved in.
        Deleted,           ///< The entry went: removed, or moved out.
        Modified,          ///< The entry's contents were written (or replaced by a rename).
        Renamed,           ///< The entry moved inside what is watched: from oldPath to path.
        AttributesChanged, ///< Mode, owner, times or link count changed.
        Overflow           ///< Events were lost: rescan. The path is empty.
    };

    /// One change.
    struct Event {
        /// What happened.
        Kind kind;
        /// The entry; for Renamed its new path; empty for Overflow.
        std::string path;
        /// For Renamed, the old path; otherwise empty.
        std::string oldPath;
        /// The entry is a directory.
        bool directory = false;
    };

    /// Creates the watcher, watching nothing. Throws the constructor text of the class.
    FileWatcher();
    /// Ends every watch and closes the descriptors; events not taken are dropped.
    ~FileWatcher();
    /// Not copyable.
    /// @{
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;
    /// @}

    /// Watches path: a directory (with recursive, the whole tree below it), or a file through
    /// its directory. Watching a path again changes nothing, except that recursive extends a
    /// directory's watch to its tree. Throws when path's directory is missing or cannot be
    /// watched, naming path.
    void add(const std::string& path, bool recursive = false);
    /// Ends the watch of path as given to add() (trailing separators aside), with the tree below
    /// it when it was recursive; directories below that were added on their own stay watched.
    /// Events of path not yet taken are dropped.
    void remove(const std::string& path);
    /// The events that have arrived, without waiting; empty when there are none.
    std::vector<Event> take();
    /// Waits at most milliseconds (0: only looks) on the monotonic clock for events and returns
    /// them, at least one; empty at the limit.
    std::vector<Event> waitFor(unsigned long milliseconds);
    /// A descriptor that is readable while take() has something to do.
    int fd() const noexcept { return _pollFd; }

private:
    class State;
    std::unique_ptr<State> _state;
    int _pollFd = -1;
};

} // namespace Ostrel
