#include <Ostrel/Files.h>

#include "Messages.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Ostrel {

namespace {

// The links followed from the path of an AtomicFile before ELOOP, as the system does.
constexpr int maxLinks = 40;
// The longest name a file system takes (NAME_MAX).
constexpr std::size_t maxName = 255;

void closeFd(int& fd) noexcept {
    if (fd != -1) {
        (void)::close(fd);
        fd = -1;
    }
}

// The directory and the name of a path: "a/b" gives "a" and "b", "b" gives "." and "b", "/b"
// gives "/" and "b"; a path ending in "/" gives an empty name.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The error number that forbids replacing the file of info: EISDIR for a directory, EINVAL for
// anything else that is not a regular file (a device, a pipe, a socket), else 0.
int refusalOf(const struct stat& info) noexcept {
    if (S_ISREG(info.st_mode)) {
        return 0;
    }
    return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
}

// A 64-bit random number, unpredictable from outside the process: the process's seed (taken
// from getrandom once) and a counter, mixed by splitmix64. Names made from it are unique in the
// process; against other processes (a forked child continues the same sequence), creating them
// exclusively and trying another name on EEXIST is what counts.
std::uint64_t randomNumber() noexcept {
    static const std::uint64_t seed = [] {
        std::uint64_t value = 0;
        if (::getrandom(&value, sizeof value, GRND_NONBLOCK) !=
            static_cast<ssize_t>(sizeof value)) {
            // No entropy to be had (ENOSYS, or early at boot): the clock and the process id.
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            value = static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
                    static_cast<std::uint64_t>(now.tv_nsec) +
                    (static_cast<std::uint64_t>(::getpid()) << 40);
        }
        return value;
    }();
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t mix = seed + 0x9E3779B97F4A7C15ULL * ++counter;
    mix = (mix ^ (mix >> 30)) * 0xBF58476D1CE4E5B9ULL;
    mix = (mix ^ (mix >> 27)) * 0x94D049BB133111EBULL;
    return mix ^ (mix >> 31);
}

// ".<name>." + 12 random letters and digits + ".tmp", name shortened to fit NAME_MAX.
std::string hiddenName(const std::string& name) {
    static const char digits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    constexpr std::size_t letters = 12;
    constexpr std::size_t extra = 1 + 1 + letters + 4;
    std::string hidden = "." + name.substr(0, maxName - extra) + ".";
    for (std::size_t half = 0; half < 2; ++half) {
        std::uint64_t random = randomNumber();
        for (std::size_t i = 0; i < letters / 2; ++i) {
            hidden += digits[random % (sizeof digits - 1)];
            random /= sizeof digits - 1;
        }
    }
    return hidden + ".tmp";
}

// fsync, again after an interruption by a signal. Not noexcept: fsync is a cancellation point.
int flush(int fd) {
    int result = 0;
    do {
        result = ::fsync(fd);
    } while (result == -1 && errno == EINTR);
    return result;
}

// The file a path names once the links at its end are followed (relative targets from the
// link's directory); path itself when it is no link or does not exist.
std::string resolveLinks(std::string path) {
    for (int links = 0;; ++links) {
        std::string target(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), &target[0], target.size());
        if (length < 0 || static_cast<std::size_t>(length) == target.size()) {
            return path;
        }
        if (links == maxLinks) {
            errno = ELOOP;
            return {};
        }
        target.resize(static_cast<std::size_t>(length));
        if (target[0] != '/') {
            target.insert(0, splitPath(path).first + "/");
        }
        path = std::move(target);
    }
}

} // namespace

FileError::FileError(const std::string& text, int error, std::string path)
    : _message(internal::composeMessage(text.c_str(), internal::errorText(error).c_str())),
      _error(error), _path(std::move(path)) {}

FileError::~FileError() = default;

const char* FileError::what() const {
    return _message.c_str();
}

AtomicFile::AtomicFile(std::string path) : _path(std::move(path)) {
    const auto cannotCreate = [this](int error) {
        discard();
        throw FileError("Cannot create file", error, _path);
    };
    if (_path.empty()) {
        cannotCreate(ENOENT);
    }
    // The directory and name of the file to replace: a link at path is followed to its end.
    std::string target = _path;
    struct stat info {};
    bool exists = false;
    for (int pass = 0; pass < 2; ++pass) {
        const std::string name = splitPath(target).second;
        if (name.empty() || name == "." || name == "..") {
            cannotCreate(EISDIR);
        }
        exists = ::lstat(target.c_str(), &info) == 0;
        if (!exists && errno != ENOENT) {
            cannotCreate(errno);
        }
        if (!exists || !S_ISLNK(info.st_mode) || pass == 1) {
            break;
        }
        target = resolveLinks(target);
        if (target.empty()) {
            cannotCreate(errno);
        }
    }
    if (exists && refusalOf(info) != 0) {
        cannotCreate(refusalOf(info));
    }
    auto [dir, name] = splitPath(target);
    _name = std::move(name);
    _dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (_dirFd == -1 && errno == EACCES) {
        // Writable and searchable, but not readable: usable, though it cannot be flushed.
        _dirFd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (_dirFd == -1) {
        cannotCreate(errno);
    }
    // An unnamed file is linked through /proc/self/fd (or with a privilege the process may
    // lack): without /proc, the file gets a hidden name from the start.
    static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
    if (procMounted) {
        _fd = ::openat(_dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (_fd != -1) {
            return;
        }
        // EOPNOTSUPP: the file system has no O_TMPFILE; EISDIR or EINVAL: the kernel has none.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            cannotCreate(errno);
        }
    }
    for (int attempt = 0; attempt < 100 && _fd == -1; ++attempt) {
        _tempName = hiddenName(_name);
        _fd = ::openat(_dirFd, _tempName.c_str(),
                       O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (_fd == -1 && errno != EEXIST) {
            break;
        }
    }
    if (_fd == -1) {
        const int error = errno;
        _tempName.clear();
        cannotCreate(error);
    }
}

AtomicFile::~AtomicFile() {
    discard();
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : _path(std::move(other._path)), _dirFd(std::exchange(other._dirFd, -1)),
      _fd(std::exchange(other._fd, -1)), _name(std::move(other._name)),
      _tempName(std::move(other._tempName)) {
    other._tempName.clear();
}

AtomicFile& AtomicFile::operator=(AtomicFile&& other) noexcept {
    if (this != &other) {
        discard();
        _path = std::move(other._path);
        _dirFd = std::exchange(other._dirFd, -1);
        _fd = std::exchange(other._fd, -1);
        _name = std::move(other._name);
        _tempName = std::move(other._tempName);
        other._tempName.clear();
    }
    return *this;
}

void AtomicFile::discard() noexcept {
    if (_fd != -1 && !_tempName.empty()) {
        (void)::unlinkat(_dirFd, _tempName.c_str(), 0);
    }
    _tempName.clear();
    closeFd(_fd);
    closeFd(_dirFd);
}

void AtomicFile::write(std::string_view data) {
    if (_fd == -1) {
        throw FileError("Cannot write file", EBADF, _path);
    }
    while (!data.empty()) {
        const ssize_t written = ::write(_fd, data.data(), data.size());
        if (written > 0) {
            data.remove_prefix(static_cast<std::size_t>(written));
        } else if (written == 0 || errno != EINTR) {
            throw FileError("Cannot write file", written == 0 ? EIO : errno, _path);
        }
    }
}

void AtomicFile::commit() {
    if (_fd == -1) {
        throw FileError("Cannot replace file", EBADF, _path);
    }
    if (flush(_fd) != 0) {
        const int error = errno;
        discard();
        throw FileError("Cannot write file", error, _path);
    }
    const int error = putInPlace();
    if (error != 0) {
        discard();
        throw FileError("Cannot replace file", error, _path);
    }
    closeFd(_fd);
    // A directory opened without read permission (O_PATH) cannot be flushed (EBADF), nor can a
    // file system that does not flush directories (EINVAL).
    const int flushed = flush(_dirFd) == 0 || errno == EBADF || errno == EINVAL ? 0 : errno;
    closeFd(_dirFd);
    if (flushed != 0) {
        throw FileError("Cannot replace file", flushed, _path);
    }
}

int AtomicFile::putInPlace() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct stat old {};
        const bool replacing = ::fstatat(_dirFd, _name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
        if (!replacing && errno != ENOENT) {
            return errno;
        }
        if (replacing) {
            if (refusalOf(old) != 0) {
                return refusalOf(old);
            }
            mode_t mode = old.st_mode & 07777;
            // Owner and group first: fchown clears the set-user-ID and set-group-ID bits. A
            // process that may not give the file away keeps at least the group where it is a
            // member, and the file gets neither bit (as cp -p does).
            if (::fchown(_fd, old.st_uid, old.st_gid) != 0) {
                (void)::fchown(_fd, static_cast<uid_t>(-1), old.st_gid);
                mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
            }
            if (::fchmod(_fd, mode) != 0) {
                return errno;
            }
        }
        if (_tempName.empty()) {
            // The unnamed file: straight under its name when there is none yet (a failure
            // rather than a replacement when another process makes one meanwhile), else under
            // a hidden name first.
            std::string name = replacing ? hiddenName(_name) : _name;
            if (linkUnnamed(name) != 0) {
                if (errno != EEXIST) {
                    return errno;
                }
                continue;
            }
            if (!replacing) {
                return 0;
            }
            _tempName = std::move(name);
        }
        if (::renameat(_dirFd, _tempName.c_str(), _dirFd, _name.c_str()) != 0) {
            return errno;
        }
        _tempName.clear();
        return 0;
    }
    return EEXIST;
}

int AtomicFile::linkUnnamed(const std::string& name) noexcept {
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", _fd);
    if (::linkat(AT_FDCWD, link, _dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    // Without /proc, the descriptor itself (which needs CAP_DAC_READ_SEARCH).
    if (errno != ENOENT) {
        return -1;
    }
    return ::linkat(_fd, "", _dirFd, name.c_str(), AT_EMPTY_PATH);
}

void AtomicFile::write(const std::string& path, std::string_view data) {
    AtomicFile file(path);
    file.write(data);
    file.commit();
}

namespace {

// The walk of removeAll: a stack of the directories entered, each emptied and then removed
// from the one above it. Only the top levels keep a descriptor; a level whose descriptor was
// closed is opened again through ".." of the level below it, and taken only when it is still the
// same directory (device and inode).
class TreeRemover {
public:
    TreeRemover(const std::string& given, std::string top) : given(given), top(std::move(top)) {}
    ~TreeRemover() {
        for (Level& level : levels) {
            if (level.stream != nullptr) {
                ::closedir(level.stream);
            }
        }
    }
    TreeRemover(const TreeRemover&) = delete;
    TreeRemover& operator=(const TreeRemover&) = delete;

    // Removes the entry name of the directory parentFd, or enters it when it is a directory;
    // likelyDirectory tries that first. Throws on a failure.
    void removeEntry(int parentFd, const std::string& name, bool likelyDirectory);
    // Empties and removes the directories entered; the number of entries removed.
    unsigned long run();

    unsigned long removed = 0;

private:
    struct Level {
        std::string name;
        DIR* stream;
        dev_t device;
        ino_t inode;
        int rereads;
    };

    // Levels 1 to that many below the last keep their descriptors (level 0 always does).
    static constexpr std::size_t openLevels = 32;
    // How often a directory that another process changes is read again before it fails.
    static constexpr int maxRereads = 16;
    // How often an entry that another process swaps between directory and not is tried.
    static constexpr int maxSwaps = 8;

    void enter(const std::string& name, int fd);
    void leave();
    bool reopenParent(std::size_t index);
    [[noreturn]] void fail(int error, const std::string& entry = std::string()) const;

    const std::string& given;
    const std::string top;
    std::vector<Level> levels;
    // The lowest level above 0 that has its descriptor.
    std::size_t firstOpen = 1;
};

void TreeRemover::removeEntry(int parentFd, const std::string& name, bool likelyDirectory) {
    for (int attempt = 0; attempt < maxSwaps; ++attempt) {
        // A directory that may not be removed gives EACCES or EPERM rather than EISDIR: its
        // entries may still be, as rm -r does.
        int refused = 0;
        if (!likelyDirectory) {
            if (::unlinkat(parentFd, name.c_str(), 0) == 0) {
                ++removed;
                return;
            }
            if (errno == ENOENT) {
                return;
            }
            if (errno == EACCES || errno == EPERM) {
                refused = errno;
            } else if (errno != EISDIR) {
                fail(errno, name);
            }
        }
        const int fd =
            ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd != -1) {
            enter(name, fd);
            return;
        }
        if (errno == ENOENT) {
            return;
        }
        if (errno == EACCES && refused == 0) {
            // A directory that may not be read may still be empty, and then removed.
            if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0) {
                ++removed;
                return;
            }
            errno = EACCES;
        }
        if (errno != ENOTDIR && errno != ELOOP) {
            fail(errno, name);
        }
        if (refused != 0) {
            fail(refused, name);
        }
        likelyDirectory = false;
    }
    fail(EBUSY, name);
}

void TreeRemover::enter(const std::string& name, int fd) {
    DIR* const stream = ::fdopendir(fd);
    if (stream == nullptr) {
        const int error = errno;
        (void)::close(fd);
        fail(error, name);
    }
    levels.push_back({name, stream, 0, 0, 0});
    if (levels.size() > openLevels + firstOpen) {
        Level& closing = levels[firstOpen++];
        struct stat info {};
        if (::fstat(::dirfd(closing.stream), &info) != 0) {
            fail(errno);
        }
        closing.device = info.st_dev;
        closing.inode = info.st_ino;
        ::closedir(closing.stream);
        closing.stream = nullptr;
    }
}

unsigned long TreeRemover::run() {
    while (!levels.empty()) {
        DIR* const stream = levels.back().stream;
        errno = 0;
        const dirent* const entry = ::readdir(stream);
        if (entry == nullptr) {
            if (errno != 0) {
                fail(errno);
            }
            leave();
            continue;
        }
        const char* const name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        removeEntry(::dirfd(stream), name, entry->d_type == DT_DIR);
    }
    return removed;
}

// The last level is empty: it is removed from its parent. When another process has changed the
// tree meanwhile (entries added, the name now holding something else), the parent is read again
// and what is there now is removed as found (level 0, which has no parent to read, itself).
void TreeRemover::leave() {
    const std::size_t index = levels.size() - 1;
    if (index != 0 && levels[index - 1].stream == nullptr && !reopenParent(index)) {
        return;
    }
    const int parentFd = index == 0 ? AT_FDCWD : ::dirfd(levels[index - 1].stream);
    const std::string& name = index == 0 ? top : levels[index].name;
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0) {
        ++removed;
    } else if (errno == ENOTEMPTY || errno == EEXIST || errno == ENOTDIR) {
        Level& reread = levels[index == 0 ? 0 : index - 1];
        if (++reread.rereads == maxRereads) {
            fail(errno);
        }
        if (index != 0) {
            ::closedir(levels[index].stream);
            levels.pop_back();
        }
        ::rewinddir(reread.stream);
        return;
    } else if (errno != ENOENT) {
        fail(errno);
    }
    ::closedir(levels[index].stream);
    levels.pop_back();
}

// Gives levels[index - 1] its descriptor again, from ".." of levels[index]. When that is no
// longer the same directory (levels[index] was moved elsewhere), the levels from index - 1 on are
// dropped and the deepest one still open is read again from its start: false.
bool TreeRemover::reopenParent(std::size_t index) {
    Level& parent = levels[index - 1];
    const int fd = ::openat(::dirfd(levels[index].stream), "..",
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd != -1 && ::fstat(fd, &info) == 0 && info.st_dev == parent.device &&
        info.st_ino == parent.inode) {
        parent.stream = ::fdopendir(fd);
        if (parent.stream == nullptr) {
            const int error = errno;
            (void)::close(fd);
            fail(error);
        }
        firstOpen = index - 1;
        return true;
    }
    if (fd != -1) {
        (void)::close(fd);
    }
    // The levels between 0 and index - 1 have no descriptor: level 0 is read again.
    for (std::size_t i = levels.size(); i-- > 1;) {
        if (levels[i].stream != nullptr) {
            ::closedir(levels[i].stream);
        }
    }
    levels.resize(1);
    firstOpen = 1;
    ::rewinddir(levels[0].stream);
    return false;
}

// Throws the failure at the last level, or at its entry.
void TreeRemover::fail(int error, const std::string& entry) const {
    if (levels.empty()) {
        throw FileError("Cannot remove " + given, error, given);
    }
    std::string where = top;
    for (std::size_t i = 1; i < levels.size(); ++i) {
        where += (where.back() == '/' ? "" : "/") + levels[i].name;
    }
    if (!entry.empty()) {
        where += (where.back() == '/' ? "" : "/") + entry;
    }
    throw FileError("Cannot remove " + given, error, where);
}

bool isDirectory(const std::string& path) noexcept {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

unsigned long removeAll(const std::string& path) {
    if (path.empty()) {
        return 0;
    }
    // A trailing "/" asks for a directory; the name without it is never followed.
    std::string top = path;
    const bool directoryAsked = top.back() == '/';
    while (top.size() > 1 && top.back() == '/') {
        top.pop_back();
    }
    TreeRemover remover(path, top);
    if (directoryAsked && top != "/") {
        struct stat info {};
        if (::fstatat(AT_FDCWD, top.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                return 0;
            }
            throw FileError("Cannot remove " + path, errno, path);
        }
        if (!S_ISDIR(info.st_mode)) {
            throw FileError("Cannot remove " + path, ENOTDIR, path);
        }
    }
    remover.removeEntry(AT_FDCWD, top, directoryAsked);
    return remover.run();
}

bool createDirectories(const std::string& path, mode_t mode) {
    const auto fail = [&path](int error) {
        throw FileError("Cannot create directory " + path, error, path);
    };
    // After mkdir of dir: true when it made it, false when a directory is there already.
    const auto made = [&](const std::string& dir, int result) {
        if (result == 0) {
            return true;
        }
        const int error = errno;
        if (error != EEXIST) {
            fail(error);
        }
        if (!isDirectory(dir)) {
            fail(ENOTDIR);
        }
        return false;
    };
    const int result = ::mkdir(path.c_str(), mode);
    if (result == 0 || errno != ENOENT || path.empty()) {
        return made(path, result);
    }
    // A directory above is missing: each is made in turn, from the top.
    const std::size_t end = path.find_last_not_of('/') + 1;
    bool any = false;
    for (std::size_t slash = path.find('/', 1); slash < end; slash = path.find('/', slash + 1)) {
        if (path[slash - 1] != '/') {
            const std::string dir = path.substr(0, slash);
            any = made(dir, ::mkdir(dir.c_str(), 0777)) || any;
        }
    }
    return made(path, ::mkdir(path.c_str(), mode)) || any;
}

} // namespace Ostrel
