/// \file
/// \brief Safe file operations: Ostrel::AtomicFile, Ostrel::removeAll,
/// Ostrel::createDirectories, and their exception Ostrel::FileError.
#pragma once

#include <Ostrel/Export.h>

#include <string>
#include <string_view>

#include <sys/types.h>

namespace Ostrel {

/// \class Ostrel::FileError
/// \brief The exception of the file operations of Files.h, thrown by value.
///
/// The message is a text ("Cannot write file", "Cannot remove /srv/old") + " - " + the system's
/// text of the error (strerror); error() is the error number and path() the path concerned. It
/// has no base class, as the other component exceptions of the library: catch it by its name.
class OSTREL_API FileError {
public:
    /// The message is text + " - " + the system's text of error.
    FileError(const std::string& text, int error, std::string path);
    /// Releases the message.
    virtual ~FileError();
    /// The message, valid as long as the exception lives.
    virtual const char* what() const;
    /// The error number (ENOENT, EACCES, ENOSPC, ...).
    int error() const noexcept { return _error; }
    /// The path concerned: as each operation's description says.
    const std::string& path() const noexcept { return _path; }

private:
    std::string _message;
    int _error;
    std::string _path;
};

/// \class Ostrel::AtomicFile
/// \brief Writes a file so that whenever the writer is killed, the path holds either the old or
/// the whole new content, never a part.
///
/// \code
/// Ostrel::AtomicFile::write("settings.json", text);       // all in one
/// Ostrel::AtomicFile file("settings.json");               // or step by step
/// file.write(header);
/// file.write(body);
/// file.commit();                                          // without it, nothing changes
/// \endcode
///
/// The constructor makes a temporary file in the directory of the file to replace: with O_TMPFILE
/// where the file system has it and /proc is mounted (an unnamed file, which a crash leaves
/// nowhere), else under a unique hidden name beside the target, "." + name + "." + 12 random
/// letters and digits + ".tmp", created exclusively (O_EXCL, so that no other process can have
/// made it first; a long name is shortened there to fit). commit() then
///   1. flushes the data to the disk (fsync);
///   2. gives the file the mode of the file it replaces, and its owner and group where the process
///      may; a process that may not (one that is not root cannot give a file away) keeps the
///      group where it is a member, and the set-user-ID and set-group-ID bits are dropped, as
///      cp -p does; a new file has 0666 less the umask (or the directory's default ACL);
///   3. puts it in place in one step: a rename over the old file (an unnamed file is first linked
///      to a hidden name as above, through /proc/self/fd), or for a new unnamed file a link
///      under its name, which fails rather than replace a file that another process creates
///      meanwhile (that one is then replaced by a rename);
///   4. flushes the directory, so that the new name survives a crash of the system.
/// Replacing needs write permission on the directory only, as rename does, not on the file.
/// A writer killed between the link to the hidden name and the rename leaves a complete copy of
/// the new content under the hidden name, never an incomplete one; on a file system without
/// O_TMPFILE a writer killed at any point before the rename leaves its incomplete temporary file
/// under the hidden name (".name.*.tmp": remove such files at start-up where it matters).
///
/// The path is resolved when the object is made: when it is a symbolic link (or a chain of them),
/// the file it points to is the one replaced, with that file's mode; the link stays, as editors
/// do. A dangling link makes its target. Extended attributes and ACLs of the replaced file are
/// not copied; hard links to it keep the old content (a rename makes a new file).
///
/// Failures are thrown as FileError, with the path given to the constructor as path():
///   constructor  "Cannot create file - " + text: the directory is missing (ENOENT) or not
///                writable (EACCES, EROFS), the path is empty (ENOENT), ends in "/" or names a
///                directory (EISDIR), names something that is neither a regular file nor a
///                link to one (a device, a pipe: EINVAL, never replaced), or a link loop (ELOOP).
///   write        "Cannot write file - " + text: the file system is full (ENOSPC), over quota
///                (EDQUOT), ...; what was written stays in the temporary file.
///   commit       "Cannot write file - " + text when the data cannot be flushed, "Cannot replace
///                file - " + text when it cannot be put in place or the directory flushed (the
///                new content is then in place already, perhaps not yet on disk). Either way
///                nothing is left behind but what the last step made.
/// write and commit on an object that was committed (successfully or not) or moved from throw
/// "Cannot write file - Bad file descriptor" and "Cannot replace file - Bad file descriptor"
/// (EBADF): the data of a failed commit is gone, it is not committed twice.
///
/// The destructor without a successful commit() removes the temporary file and leaves the path
/// as it was; it never throws. A thread cancelled or an exception thrown while writing therefore
/// leave nothing behind. write() goes on after partial writes and interruptions by signals.
///
/// Not thread-safe: one object belongs to one thread at a time. Objects for the same path in
/// several threads or processes do not conflict: the last commit wins, whole. Every descriptor
/// is close-on-exec; a child that inherits the object's memory (fork) must not commit it too.
/// Copying is forbidden; moving hands the temporary file over.
class OSTREL_API AtomicFile {
public:
    /// Makes the temporary file in the directory of path (of the file a link at path points to).
    /// Throws "Cannot create file - " + text.
    explicit AtomicFile(std::string path);
    /// Without a successful commit(): removes the temporary file, the path is untouched.
    ~AtomicFile();
    /// Takes over other's temporary file; other is then as if committed (fd() -1).
    AtomicFile(AtomicFile&& other) noexcept;
    /// Discards this object's own uncommitted file, as the destructor does, then takes over
    /// other's.
    AtomicFile& operator=(AtomicFile&& other) noexcept;
    /// Not copyable: one object owns one temporary file.
    /// @{
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    /// @}

    /// Appends data to the temporary file. Throws "Cannot write file - " + text.
    void write(std::string_view data);
    /// Puts the written content in place of the path, on disk (the steps above). Throws "Cannot
    /// write file - " + text or "Cannot replace file - " + text.
    void commit();
    /// The temporary file's descriptor (opened for reading and writing), for the caller's own
    /// writes, mmap or fallocate; -1 once committed or moved from. Not to be closed by the caller.
    int fd() const noexcept { return _fd; }
    /// The path given to the constructor.
    const std::string& path() const noexcept { return _path; }

    /// AtomicFile(path), write(data), commit(): path then holds data, or is unchanged when it
    /// throws.
    static void write(const std::string& path, std::string_view data);

private:
    /// Removes the temporary file and closes the descriptors, leaving the object committed.
    void discard() noexcept;
    /// Steps 2 and 3 of commit(): 0, or the error number of the failure.
    int putInPlace();
    /// Links the unnamed temporary file under name in the directory: 0, or -1 with errno.
    int linkUnnamed(const std::string& name) noexcept;

    std::string _path;
    /// The directory of the file replaced, open for the *at calls and its flush; -1 once done.
    int _dirFd = -1;
    /// The temporary file; -1 once committed or moved from.
    int _fd = -1;
    /// The name of the file replaced in _dirFd (the target of a link at _path).
    std::string _name;
    /// The hidden name of the temporary file in _dirFd; empty while it has none (O_TMPFILE).
    std::string _tempName;
};

/// \defgroup removeAll Ostrel::removeAll
/// \details Declared in <Ostrel/Files.h>.
/// \{

/// Removes path and everything below it, as `rm -rf`, and returns the number of entries removed,
/// path itself included (as std::filesystem::remove_all); 0 when path does not exist. It never
/// follows a symbolic link: a link, at path or below, is removed, not what it points to. The
/// walk goes through directory descriptors (openat with O_NOFOLLOW | O_DIRECTORY, unlinkat), so
/// a directory below path that another process swaps for a link while it runs cannot make it
/// remove anything outside path; an entry that disappears meanwhile is passed over, and a
/// directory whose entries another process changes meanwhile is read again (up to 16 times,
/// then the failure, ENOTEMPTY for instance, is thrown), and an entry that another process keeps
/// turning from a directory into something else and back is tried 8 times, then EBUSY is
/// thrown: against such a process it gives up rather than loop. It keeps at most 34 descriptors
/// open and uses no recursion, whatever the depth of the tree (10,000 levels and more), and enters
/// file systems mounted below path (the mount point itself then cannot be removed: EBUSY).
///
/// A trailing "/" asks for a directory: "dir/" removes dir; "link/", where link is a link (to a
/// directory or not), and "file/" throw ENOTDIR and remove nothing. The components before the
/// last are resolved as the system does (a link there is followed), as for any path.
///
/// No path is refused: removeAll("/") removes everything below the root that the process may,
/// and ".", ".." and "/" end with an error (EINVAL, ENOTEMPTY or EBUSY) after their contents
/// are gone. The first failure ends it, with what was removed until then gone: it throws
/// FileError "Cannot remove " + path + " - " + text, path as given, and path() the entry that
/// could not be removed (path itself or an entry below it: path + "/" + the names below).
/// Thread-safe (it keeps no state); not safe against changes of the working directory by
/// other threads while a relative path is removed.
OSTREL_API unsigned long removeAll(const std::string& path);

/// \}

/// \defgroup createDirectories Ostrel::createDirectories
/// \details Declared in <Ostrel/Files.h>.
/// \{

/// Makes the directory path and every missing directory above it, as `mkdir -p`: true when it
/// made one, false when path was already a directory (a link to a directory counts, as for
/// mkdir -p). The last directory gets mode, those above it 0777; both less the umask. A
/// directory that another process makes at the same time is fine (it exists: no error).
/// Something that is not a directory in the way throws FileError "Cannot create directory " +
/// path + " - Not a directory" (ENOTDIR); any other failure "Cannot create directory " + path +
/// " - " + text (EACCES, EROFS, ENOSPC; ENOENT for an empty path). path() is path as given.
/// Thread-safe.
OSTREL_API bool createDirectories(const std::string& path, mode_t mode = 0777);

/// \}

} // namespace Ostrel
