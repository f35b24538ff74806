#include <Ostrel/FileWatcher.h>

#include "Messages.h"
#include "sync/Deadline.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace Ostrel {

namespace {

// What every watch asks for. Only directories are watched (a file through its directory), and
// entries unlinked while still open report nothing more.
constexpr std::uint32_t watchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                    IN_EXCL_UNLINK;
// How long the first half of a move waits for its second once the queue was read empty.
constexpr long long graceNanoseconds = 20000000LL;
// One read of the queue; a take reads at most readsPerTake of them, so that a flood of events
// cannot keep it from returning.
constexpr std::size_t bufferSize = 16384;
constexpr int readsPerTake = 64;

long long monotonicNanoseconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * internal::nanosPerSecond + now.tv_nsec;
}

// path without trailing separators ("/" stays).
std::string trimmed(const std::string& path) {
    std::string result = path;
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

std::string join(const std::string& directory, const std::string& name) {
    std::string path;
    path.reserve(directory.size() + 1 + name.size());
    path += directory;
    if (directory != "/") {
        path += '/';
    }
    return path += name;
}

bool within(const std::string& path, const std::string& tree) {
    return path == tree || (path.size() > tree.size() && path.compare(0, tree.size(), tree) == 0 &&
                            (tree == "/" || path[tree.size()] == '/'));
}

// The system's limit on watches per user, as its file holds it.
std::string watchLimit() {
    std::string value;
    std::ifstream("/proc/sys/fs/inotify/max_user_watches") >> value;
    return "fs.inotify.max_user_watches is " + (value.empty() ? std::string("unknown") : value);
}

FileWatcher::Exception watchError(const std::string& path, int error) {
    return {"Cannot watch " + path, error, error == ENOSPC ? watchLimit() : std::string()};
}

// The entries of directory (not "." and ".."), sorted by name, each with whether it is a
// directory (not following links); empty when it cannot be read (gone, or not a directory).
std::vector<std::pair<std::string, bool>> entriesOf(const std::string& directory) {
    std::vector<std::pair<std::string, bool>> entries;
    const std::unique_ptr<DIR, int (*)(DIR*)> opened(::opendir(directory.c_str()), ::closedir);
    DIR* const stream = opened.get();
    if (stream == nullptr) {
        return entries;
    }
    while (const dirent* entry = ::readdir(stream)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isDirectory =
                ::fstatat(::dirfd(stream), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(info.st_mode);
        }
        entries.emplace_back(name, isDirectory);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

FileWatcher::Exception::Exception(const std::string& text, int error, const std::string& note)
    : _message(internal::composeMessage(text.c_str(), internal::errorText(error).c_str()) +
               (note.empty() ? std::string() : " (" + note + ")")),
      _error(error) {}

FileWatcher::Exception::~Exception() = default;

const char* FileWatcher::Exception::what() const {
    return _message.c_str();
}

// Everything behind a FileWatcher: the watches by descriptor, the events read and not yet
// handled, and the events handled but not yet returned.
class FileWatcher::State {
public:
    State() : _buffer(bufferSize) {}
    ~State() {
        for (const int fd : {_inotifyFd, _timerFd}) {
            if (fd != -1) {
                (void)::close(fd);
            }
        }
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // Creates the queue and the timer; the error number, or 0.
    int open() noexcept;
    // Adds the queue and the timer to the epoll descriptor pollFd; the error number, or 0.
    int watchReadiness(int pollFd) const noexcept {
        for (const int fd : {_inotifyFd, _timerFd}) {
            epoll_event ready{};
            ready.events = EPOLLIN;
            ready.data.fd = fd;
            if (::epoll_ctl(pollFd, EPOLL_CTL_ADD, fd, &ready) == -1) {
                return errno;
            }
        }
        return 0;
    }

    void add(const std::string& given, bool recursive);
    void remove(const std::string& given);
    std::vector<Event> take();

private:
    // A name watched on its own in its directory.
    struct Name {
        std::string path; // as given to add()
        bool exists = false;
    };
    // One watched directory.
    struct Watch {
        std::string path;
        bool added = false;     // given to add() as a directory
        bool recursive = false; // given to add() with recursive
        bool inner = false;     // lies in a recursive tree
        std::map<std::string, Name> names;
        bool whole() const noexcept { return added || inner; }
        bool tree() const noexcept { return recursive || inner; }
    };
    // One event as the system reported it.
    struct Raw {
        int wd;
        std::uint32_t mask;
        std::uint32_t cookie;
        std::string name;
        long long readAt;
        bool used = false; // the second half of a move already joined to its first
    };
    // The events of one take, merging several Modified of one path.
    class Batch {
    public:
        explicit Batch(std::vector<Event> kept) {
            for (auto& event : kept) {
                push(event.kind, std::move(event.path), std::move(event.oldPath), event.directory);
            }
        }
        // A Modified of a path whose last event in the batch is a Modified is merged into it.
        void push(Kind kind, std::string path, std::string oldPath, bool directory) {
            if (kind == Overflow && _overflow) {
                return;
            }
            _overflow = _overflow || kind == Overflow;
            if (kind == Modified) {
                if (!_modified.insert(path).second) {
                    return;
                }
            } else if (!_modified.empty()) {
                _modified.erase(path);
                _modified.erase(oldPath);
            }
            _events.push_back({kind, std::move(path), std::move(oldPath), directory});
        }
        // The first directory that could not be watched.
        void fail(const std::string& path, int error) {
            if (_error == 0) {
                _failedPath = path;
                _error = error;
            }
        }
        int error() const noexcept { return _error; }
        const std::string& failedPath() const noexcept { return _failedPath; }
        std::vector<Event> events() { return std::move(_events); }
        void reserve(std::size_t more) { _events.reserve(_events.size() + more); }

    private:
        std::vector<Event> _events;
        // The paths whose last event is a Modified.
        std::unordered_set<std::string> _modified;
        bool _overflow = false;
        std::string _failedPath;
        int _error = 0;
    };

    Watch* find(int wd) {
        const auto found = _watches.find(wd);
        return found == _watches.end() ? nullptr : &found->second;
    }
    int watch(const std::string& path, std::uint32_t extra, std::vector<int>& fresh);
    int watchTree(const std::string& path, Batch* report, std::vector<int>& fresh,
                  std::string& failedPath);
    void unwatch(int wd) noexcept;
    void unwatchTree(const std::string& tree);
    void renameTree(const std::string& from, const std::string& to);
    void enterDirectory(Batch& batch, const std::string& path, bool report);
    // The path an event of name in watch reports, and its watched name (null for a whole
    // directory); false when the event is filtered out.
    bool pathOf(Watch* watched, const std::string& name, std::string& path, Name*& named);
    bool drain();
    void process(Batch& batch, bool drained);
    void handle(Batch& batch, const Raw& raw);
    void handleSelf(Batch& batch, int wd, std::uint32_t mask);
    void handleMove(Batch& batch, const Raw* from, const Raw* to);
    void resync(Batch& batch);
    void rewalk(Batch& batch);
    void setTimer(long long nanoseconds) noexcept;

    int _inotifyFd = -1;
    int _timerFd = -1;
    bool _timerArmed = false;
    std::unordered_map<int, Watch> _watches;
    // The events read and not yet handled, from _next on.
    std::vector<Raw> _raw;
    std::size_t _next = 0;
    std::vector<Event> _kept;
    std::vector<char> _buffer;
    // The entries that the scan of a new directory reported, with the take that scanned them:
    // the system's own Created of each may still follow until the queue is next read empty.
    std::map<std::string, unsigned long> _scanned;
    unsigned long _takes = 0;
};

int FileWatcher::State::watch(const std::string& path, std::uint32_t extra,
                              std::vector<int>& fresh) {
    const int wd = ::inotify_add_watch(_inotifyFd, path.c_str(), watchMask | extra);
    if (wd != -1 && _watches.count(wd) == 0) {
        _watches[wd].path = path;
        fresh.push_back(wd);
    }
    return wd;
}

// Watches the directories of the tree at path that are not yet watched (path itself included)
// as inner directories, depth first, each before what it holds; with report, every entry below
// path is reported as Created and remembered as scanned. Existing inner watches take the path
// found now. The error of the first directory that cannot be watched, with its path, or 0; a
// directory that is gone or no longer a directory is skipped.
int FileWatcher::State::watchTree(const std::string& path, Batch* report, std::vector<int>& fresh,
                                  std::string& failedPath) {
    const std::size_t watchedBefore = fresh.size();
    const int wd = watch(path, IN_DONT_FOLLOW, fresh);
    if (wd == -1) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return 0;
        }
        failedPath = path;
        return error;
    }
    Watch& watched = _watches[wd];
    if (fresh.size() == watchedBefore && watched.path != path && within(path, watched.path)) {
        return 0; // the same directory again below itself (a bind mount): a loop
    }
    if (!watched.added || watched.inner) {
        watched.path = path;
    }
    watched.inner = true;
    for (const auto& [name, isDirectory] : entriesOf(path)) {
        const std::string entry = join(path, name);
        if (report != nullptr) {
            report->push(Created, entry, std::string(), isDirectory);
            _scanned[entry] = _takes;
        }
        if (isDirectory) {
            const int error = watchTree(entry, report, fresh, failedPath);
            if (error != 0) {
                return error;
            }
        }
    }
    return 0;
}

void FileWatcher::State::unwatch(int wd) noexcept {
    (void)::inotify_rm_watch(_inotifyFd, wd);
    _watches.erase(wd);
}

// Ends the inner watches of the tree at path; a directory in it that was given to add() keeps
// its own watch, and the recursive trees given to add() inside it are watched again in full.
void FileWatcher::State::unwatchTree(const std::string& tree) {
    std::vector<int> gone;
    std::vector<std::string> roots;
    for (auto& [wd, watched] : _watches) {
        if (!watched.inner || !within(watched.path, tree)) {
            continue;
        }
        watched.inner = false;
        if (watched.recursive) {
            roots.push_back(watched.path);
        }
        if (!watched.added && watched.names.empty()) {
            gone.push_back(wd);
        }
    }
    for (const int wd : gone) {
        unwatch(wd);
    }
    for (const auto& root : roots) {
        std::vector<int> fresh;
        std::string failed;
        (void)watchTree(root, nullptr, fresh, failed);
    }
}

void FileWatcher::State::renameTree(const std::string& from, const std::string& to) {
    for (auto& [wd, watched] : _watches) {
        if (watched.inner && within(watched.path, from)) {
            watched.path = to + watched.path.substr(from.size());
        }
    }
}

void FileWatcher::State::enterDirectory(Batch& batch, const std::string& path, bool report) {
    std::vector<int> fresh;
    std::string failed;
    const int error = watchTree(path, report ? &batch : nullptr, fresh, failed);
    if (error != 0) {
        batch.fail(failed, error);
    }
}

void FileWatcher::State::add(const std::string& given, bool recursive) {
    const std::string path = trimmed(given);
    struct stat info {};
    const bool found = !path.empty() && ::stat(path.c_str(), &info) == 0;
    if (!found && (path.empty() || errno != ENOENT)) {
        throw watchError(given, path.empty() ? ENOENT : errno);
    }
    std::vector<int> fresh;
    if (found && S_ISDIR(info.st_mode)) {
        const int wd = watch(path, 0, fresh);
        if (wd == -1) {
            throw watchError(given, errno);
        }
        Watch& watched = _watches[wd];
        const Watch before = watched;
        watched.added = true;
        if (recursive && !watched.tree()) {
            watched.recursive = true;
            for (const auto& [name, isDirectory] : entriesOf(path)) {
                std::string failed;
                const int error =
                    isDirectory ? watchTree(join(path, name), nullptr, fresh, failed) : 0;
                if (error != 0) {
                    for (const int added : fresh) {
                        unwatch(added);
                    }
                    if (Watch* const kept = find(wd)) {
                        *kept = before; // watched before this call: as it was
                    }
                    throw watchError(failed, error);
                }
            }
        }
        watched.recursive = watched.recursive || recursive;
        return;
    }
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : trimmed(path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name == "." || name == "..") {
        throw watchError(given, ENOENT);
    }
    const int wd = watch(directory, 0, fresh);
    if (wd == -1) {
        throw watchError(given, errno);
    }
    _watches[wd].names.emplace(name, Name{path, found});
}

void FileWatcher::State::remove(const std::string& given) {
    const std::string path = trimmed(given);
    for (auto& [wd, watched] : _watches) {
        if (watched.added && watched.path == path) {
            const bool tree = watched.recursive;
            watched.added = false;
            watched.recursive = false;
            if (tree) {
                Batch ignored({});
                rewalk(ignored); // the trees still watched keep what lies in this one
            } else if (!watched.inner && watched.names.empty()) {
                unwatch(wd);
            }
            return;
        }
    }
    for (auto& [wd, watched] : _watches) {
        for (auto name = watched.names.begin(); name != watched.names.end(); ++name) {
            if (name->second.path == path) {
                watched.names.erase(name);
                if (!watched.whole() && watched.names.empty()) {
                    unwatch(wd);
                }
                return;
            }
        }
    }
}

bool FileWatcher::State::pathOf(Watch* watched, const std::string& name, std::string& path,
                                Name*& named) {
    named = nullptr;
    if (watched == nullptr) {
        return false;
    }
    if (watched->whole()) {
        path = join(watched->path, name);
        return true;
    }
    const auto found = watched->names.find(name);
    if (found == watched->names.end()) {
        return false;
    }
    named = &found->second;
    path = named->path;
    return true;
}

// Reads what the queue holds into _raw; true when it was read to its end.
bool FileWatcher::State::drain() {
    for (int reads = 0; reads < readsPerTake; ++reads) {
        const ssize_t length = ::read(_inotifyFd, _buffer.data(), _buffer.size());
        if (length <= 0) {
            if (length == -1 && errno == EINTR) {
                continue;
            }
            if (length == -1 && errno == EAGAIN) {
                return true;
            }
            throw Exception("Cannot read file events", length == 0 ? EIO : errno);
        }
        const long long now = monotonicNanoseconds();
        for (ssize_t offset = 0; offset < length;) {
            inotify_event header{};
            std::copy_n(_buffer.data() + offset, sizeof header, reinterpret_cast<char*>(&header));
            const char* name = _buffer.data() + offset + sizeof header;
            _raw.push_back({header.wd, header.mask, header.cookie,
                            std::string(name, ::strnlen(name, header.len)), now});
            offset += static_cast<ssize_t>(sizeof header + header.len);
        }
        // A read that left room for the largest event took everything the queue held.
        if (static_cast<std::size_t>(length) + sizeof(inotify_event) + NAME_MAX + 1 <=
            _buffer.size()) {
            return true;
        }
    }
    return false;
}

std::vector<FileWatcher::Event> FileWatcher::State::take() {
    ++_takes;
    Batch batch(std::move(_kept));
    _kept.clear();
    if (_timerArmed) {
        setTimer(0);
    }
    bool drained = false;
    try {
        drained = drain();
    } catch (const Exception&) {
        _kept = batch.events();
        throw;
    }
    process(batch, drained);
    if (drained && _raw.empty()) {
        for (auto entry = _scanned.begin(); entry != _scanned.end();) {
            entry = entry->second < _takes ? _scanned.erase(entry) : std::next(entry);
        }
    }
    if (batch.error() != 0) {
        _kept = batch.events();
        throw watchError(batch.failedPath(), batch.error());
    }
    return batch.events();
}

// Handles the events read, in order, up to the first half of a move whose second half may still
// come: that one and everything after it wait for the next take.
void FileWatcher::State::process(Batch& batch, bool drained) {
    batch.reserve(_raw.size() - _next);
    for (; _next < _raw.size(); ++_next) {
        const Raw& raw = _raw[_next];
        if (raw.used) {
            continue;
        }
        if ((raw.mask & IN_Q_OVERFLOW) != 0) {
            batch.push(Overflow, std::string(), std::string(), false);
            resync(batch);
        } else if ((raw.mask & IN_MOVED_FROM) != 0) {
            std::string path;
            Name* named = nullptr;
            if (pathOf(find(raw.wd), raw.name, path, named)) {
                const auto to = std::find_if(_raw.begin() + static_cast<std::ptrdiff_t>(_next) + 1,
                                             _raw.end(), [&](const Raw& other) {
                                                 return !other.used &&
                                                        (other.mask & IN_MOVED_TO) != 0 &&
                                                        other.cookie == raw.cookie;
                                             });
                const long long waited = monotonicNanoseconds() - raw.readAt;
                if (to == _raw.end() && waited < graceNanoseconds) {
                    if (drained) {
                        setTimer(graceNanoseconds - waited);
                    }
                    break;
                }
                handleMove(batch, &raw, to == _raw.end() ? nullptr : &*to);
                if (to != _raw.end()) {
                    to->used = true;
                }
            }
        } else if ((raw.mask & IN_MOVED_TO) != 0) {
            handleMove(batch, nullptr, &raw);
        } else {
            handle(batch, raw);
        }
    }
    // What was handled goes; the vector keeps its capacity for the next read.
    _raw.erase(_raw.begin(), _raw.begin() + static_cast<std::ptrdiff_t>(_next));
    _next = 0;
}

void FileWatcher::State::handle(Batch& batch, const Raw& raw) {
    Watch* watched = find(raw.wd);
    if (watched != nullptr && raw.name.empty()) {
        handleSelf(batch, raw.wd, raw.mask);
        return;
    }
    std::string path;
    Name* named = nullptr;
    if (!pathOf(watched, raw.name, path, named)) {
        return;
    }
    const bool directory = (raw.mask & IN_ISDIR) != 0;
    Kind kind = AttributesChanged;
    if ((raw.mask & IN_CREATE) != 0) {
        const auto scanned = _scanned.find(path);
        if (scanned != _scanned.end()) {
            _scanned.erase(scanned);
            return;
        }
        kind = Created;
    } else if ((raw.mask & IN_DELETE) != 0) {
        kind = Deleted;
    } else if ((raw.mask & IN_MODIFY) != 0) {
        kind = Modified;
    } else if ((raw.mask & IN_ATTRIB) == 0) {
        return;
    }
    if (named != nullptr && (kind == Created || kind == Deleted)) {
        named->exists = kind == Created;
    }
    if (kind == Created && directory && watched->tree()) {
        batch.push(kind, path, std::string(), directory);
        enterDirectory(batch, path, true);
    } else {
        batch.push(kind, std::move(path), std::string(), directory);
    }
}

// An event of a watched directory itself. An inner directory's own deletion and moves are told
// by its parent; the watch of a directory given to add(), or of watched names, ends with them.
void FileWatcher::State::handleSelf(Batch& batch, int wd, std::uint32_t mask) {
    Watch& watched = _watches[wd];
    if ((mask & IN_IGNORED) != 0) {
        _watches.erase(wd);
        return;
    }
    if (watched.inner) {
        return;
    }
    if ((mask & IN_ATTRIB) != 0 && watched.added) {
        batch.push(AttributesChanged, watched.path, std::string(), true);
    }
    if ((mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) == 0) {
        return;
    }
    if (watched.added) {
        batch.push(Deleted, watched.path, std::string(), true);
    }
    for (const auto& [name, named] : watched.names) {
        if (named.exists) {
            batch.push(Deleted, named.path, std::string(), false);
        }
    }
    if (watched.recursive) {
        unwatchTree(watched.path);
    }
    unwatch(wd);
}

// A move: its first half (null when it was outside what is watched), its second half (null when
// it went outside or its second half never came).
void FileWatcher::State::handleMove(Batch& batch, const Raw* from, const Raw* to) {
    std::string fromPath, toPath;
    Name* fromName = nullptr;
    Name* toName = nullptr;
    Watch* fromWatch = from == nullptr ? nullptr : find(from->wd);
    Watch* toWatch = to == nullptr ? nullptr : find(to->wd);
    const bool fromSeen = from != nullptr && pathOf(fromWatch, from->name, fromPath, fromName);
    const bool toSeen = to != nullptr && pathOf(toWatch, to->name, toPath, toName);
    const bool directory = ((from != nullptr ? from->mask : to->mask) & IN_ISDIR) != 0;
    const bool fromTree = fromSeen && fromWatch->tree();
    const bool toTree = toSeen && toWatch->tree();
    if (fromName != nullptr) {
        fromName->exists = false;
    }
    const bool existed = toName != nullptr && toName->exists;
    if (toName != nullptr) {
        toName->exists = true;
    }
    if (fromSeen && toSeen) {
        batch.push(Renamed, toPath, fromPath, directory);
    } else if (fromSeen) {
        batch.push(Deleted, fromPath, std::string(), directory);
    } else if (toSeen) {
        batch.push(existed ? Modified : Created, toPath, std::string(), directory);
    }
    if (!directory) {
        return;
    }
    if (fromTree && toTree) {
        renameTree(fromPath, toPath);
    } else if (fromTree) {
        unwatchTree(fromPath);
    } else if (toTree) {
        enterDirectory(batch, toPath, !fromSeen);
    }
}

// After lost events: what the watched names hold is looked up again, and the watches of the
// recursive trees are brought up to date.
void FileWatcher::State::resync(Batch& batch) {
    _scanned.clear();
    for (auto& [wd, watched] : _watches) {
        for (auto& [name, named] : watched.names) {
            struct stat info {};
            named.exists = ::lstat(named.path.c_str(), &info) == 0;
        }
    }
    rewalk(batch);
}

// Walks every recursive tree again: what is new in it is watched, an inner directory takes the
// path it has now, and one that no tree holds any more is no longer watched.
void FileWatcher::State::rewalk(Batch& batch) {
    std::vector<std::string> roots;
    for (auto& [wd, watched] : _watches) {
        if (watched.recursive) {
            roots.push_back(watched.path);
        }
        watched.inner = false;
    }
    for (const auto& root : roots) {
        for (const auto& [name, isDirectory] : entriesOf(root)) {
            if (isDirectory) {
                enterDirectory(batch, join(root, name), false);
            }
        }
    }
    std::vector<int> gone;
    for (const auto& [wd, watched] : _watches) {
        if (!watched.whole() && watched.names.empty()) {
            gone.push_back(wd);
        }
    }
    for (const int wd : gone) {
        unwatch(wd);
    }
}

void FileWatcher::State::setTimer(long long nanoseconds) noexcept {
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(nanoseconds / internal::nanosPerSecond);
    when.it_value.tv_nsec = static_cast<long>(nanoseconds % internal::nanosPerSecond);
    if (nanoseconds > 0 && when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
        when.it_value.tv_nsec = 1;
    }
    (void)::timerfd_settime(_timerFd, 0, &when, nullptr);
    _timerArmed = nanoseconds > 0;
}

int FileWatcher::State::open() noexcept {
    _inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (_inotifyFd == -1) {
        return errno;
    }
    _timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    return _timerFd == -1 ? errno : 0;
}

// fd() is an epoll descriptor over the queue and the timer of a held move.
FileWatcher::FileWatcher() : _state(std::make_unique<State>()) {
    int error = _state->open();
    if (error == 0) {
        _pollFd = ::epoll_create1(EPOLL_CLOEXEC);
        error = _pollFd == -1 ? errno : _state->watchReadiness(_pollFd);
    }
    if (error != 0) {
        if (_pollFd != -1) {
            (void)::close(_pollFd);
        }
        throw Exception("Cannot create file watcher", error);
    }
}

FileWatcher::~FileWatcher() {
    (void)::close(_pollFd);
}

void FileWatcher::add(const std::string& path, bool recursive) {
    _state->add(path, recursive);
}

void FileWatcher::remove(const std::string& path) {
    _state->remove(path);
}

std::vector<FileWatcher::Event> FileWatcher::take() {
    return _state->take();
}

std::vector<FileWatcher::Event> FileWatcher::waitFor(unsigned long milliseconds) {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    for (;;) {
        std::vector<Event> events = take();
        if (!events.empty()) {
            return events;
        }
        const int left = internal::millisecondsUntil(deadline);
        if (left == 0) {
            return events;
        }
        pollfd ready{_pollFd, POLLIN, 0};
        (void)::poll(&ready, 1, left);
    }
}

} // namespace Ostrel
