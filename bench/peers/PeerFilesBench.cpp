// Paths, directories and files through Ostrel, the hand-written code of bench/RawFiles.h and each
// peer's class: the normalisation of three path texts ("." and ".." resolved, repeated separators
// folded, nothing read from the disk); a recursive scan for "*.png" in a tree of 100,000 files in
// 2,000 directories (one file in ten matches; no directory does, so no side needs to test the
// type of a match), warm cache; an uncontended lock and unlock of a lock file; an atomic save of
// 4 KiB over a file; the removal of a tree of 10,000 files in 210 directories, made again before
// each removal outside the timing; and 1,000 files made in a watched directory with every event
// taken (Qt's watcher tells only that the directory changed). Before timing, the normalised texts
// of every side are printed side by side; the libraries differ in how a directory path ends
// ("lib/", "lib/.", "lib"), which the check ignores. The files live in a scratch directory in the
// build tree (the directory above the program's), so that the saves reach the disk the project is
// built on, not a /tmp that may be in memory; the watched directories live in /dev/shm.
#include <Ostrel/Dir.h>
#include <Ostrel/FileLock.h>
#include <Ostrel/FileWatcher.h>
#include <Ostrel/Files.h>

#include "RawFiles.h"
#include "peers/Peers.h"

#include <Poco/Delegate.h>
#include <Poco/DirectoryWatcher.h>
#include <Poco/File.h>
#include <Poco/Glob.h>
#include <Poco/Path.h>
#include <Poco/RecursiveDirectoryIterator.h>

#include <boost/filesystem.hpp>
#include <boost/interprocess/sync/file_lock.hpp>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFileSystemWatcher>
#include <QLockFile>
#include <QSaveFile>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using OstrelPeers::add;
using OstrelPeers::expect;

// ---- Path normalisation ----------------------------------------------------------------------

struct PathCase {
    const char* row;
    const char* input;
    const char* normal; // the answer, without a trailing separator
};
const PathCase pathCases[] = {
    {"NormalizeShort", "/usr/local/lib/", "/usr/local/lib"},
    {"NormalizeLong", "/home/user/./projects/../work/src/./ostrel/../../build/./lib/x/../y/",
     "/home/user/work/build/lib/y"},
    {"NormalizeDoubled", "a//b///c//d////e//f/", "a/b/c/d/e/f"},
};

// The text without what the libraries put at the end of a directory path: "/." or "/".
std::string withoutEnding(std::string text) {
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "/.") == 0) {
        text.resize(text.size() - 2);
    }
    if (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

// Each side keeps its input as its library holds a path, and returns the library's result.
struct RawNormalize {
    static constexpr const char* name = "raw:one_pass_in_place";
    struct Object {
        explicit Object(const char* text) : input(text) { path.reserve(256); }
        std::string input;
        std::string path;
    };
    static const std::string& run(Object& o) {
        o.path.assign(o.input);
        OstrelBench::normalizeByHand(o.path);
        return o.path;
    }
    static std::string text(const std::string& result) { return result; }
};
struct OstrelNormalize {
    static constexpr const char* name = "ostrel:Dir::fixProp(Normalize)";
    struct Object {
        explicit Object(const char* text) : input(text) { dir.path.reserve(256); }
        std::string input;
        Ostrel::Dir dir;
    };
    static const std::string& run(Object& o) {
        o.dir.path.assign(o.input);
        o.dir.fixProp(Ostrel::Dir::Normalize);
        return o.dir.path;
    }
    static std::string text(const std::string& result) { return result; }
};
// Poco::Path resolves "." and ".." while it parses the text; toString gives it back.
struct PocoNormalize {
    static constexpr const char* name = "poco:Poco::Path(text).toString";
    struct Object {
        explicit Object(const char* text) : input(text) {}
        std::string input;
    };
    static std::string run(Object& o) { return Poco::Path(o.input).toString(); }
    static std::string text(const std::string& result) { return result; }
};
struct BoostNormalize {
    static constexpr const char* name = "boost:filesystem::path::lexically_normal";
    struct Object {
        explicit Object(const char* text) : input(text) {}
        boost::filesystem::path input;
    };
    static boost::filesystem::path run(Object& o) { return o.input.lexically_normal(); }
    static std::string text(const boost::filesystem::path& result) { return result.string(); }
};
struct QtNormalize {
    static constexpr const char* name = "qt:QDir::cleanPath";
    struct Object {
        explicit Object(const char* text) : input(QString::fromUtf8(text)) {}
        QString input;
    };
    static QString run(Object& o) { return QDir::cleanPath(o.input); }
    static std::string text(const QString& result) { return result.toStdString(); }
};
struct StdNormalize {
    static constexpr const char* name = "std:filesystem::path::lexically_normal";
    struct Object {
        explicit Object(const char* text) : input(text) {}
        std::filesystem::path input;
    };
    static std::filesystem::path run(Object& o) { return o.input.lexically_normal(); }
    static std::string text(const std::filesystem::path& result) { return result.string(); }
};

template <class Side> void normalize(benchmark::State& state, const PathCase& c) {
    typename Side::Object o(c.input);
    for (auto _ : state) {
        auto result = Side::run(o);
        benchmark::DoNotOptimize(result);
    }
}

// Prints the side's text and checks it against the answer.
template <class Side> void checkNormalize(const PathCase& c) {
    typename Side::Object o(c.input);
    const std::string text = Side::text(Side::run(o));
    expect(withoutEnding(text) == c.normal, c.row, Side::name, "\"" + text + "\"");
}

// ---- Recursive scan --------------------------------------------------------------------------

const char* const pattern = "*.png";
// The scratch directory of the program, and in it the tree that the scans read.
std::string scratch;
std::string treeRoot;
// The directory on tmpfs that holds the watched directories, one per side.
std::string watchRoot;

// The scratch directory, made by the parent so that it can remove it however the run ends: in
// the directory above the one of the program (the build tree), or in the working directory when
// the program's own path cannot be read.
bool makeRoot() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    std::string name =
        (error ? std::filesystem::path(".") : program.parent_path().parent_path()).string() +
        "/ostrel-peerbench-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
        std::perror(name.c_str());
        return false;
    }
    scratch = name;
    treeRoot = scratch + "/scan";
    // The watched directories live on tmpfs, so that the disk does not drown what is measured.
    std::string watched = "/dev/shm/ostrel-peerwatch-XXXXXX";
    if (mkdtemp(watched.data()) == nullptr) {
        std::perror(watched.c_str());
        rmdir(scratch.c_str());
        return false;
    }
    watchRoot = watched;
    return true;
}

// 40 directories of 49 sub-directories each, 50 files in every one of the 2,000; and the
// directories of the other rows.
bool fillTree() {
    for (const std::string& d : {treeRoot, scratch + "/lock", scratch + "/save"}) {
        if (mkdir(d.c_str(), 0755) != 0) {
            std::perror(d.c_str());
            return false;
        }
    }
    for (int top = 0; top < 40; ++top) {
        const std::string t = treeRoot + "/t" + std::to_string(top);
        for (int sub = -1; sub < 49; ++sub) {
            const std::string d = sub < 0 ? t : t + "/s" + std::to_string(sub);
            if (mkdir(d.c_str(), 0755) != 0) {
                std::perror(d.c_str());
                return false;
            }
            for (int f = 0; f < 50; ++f) {
                const std::string file =
                    d + "/f" + std::to_string(f) + (f % 10 == 0 ? ".png" : ".txt");
                const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                if (fd < 0) {
                    std::perror(file.c_str());
                    return false;
                }
                close(fd);
            }
        }
    }
    return true;
}

// The paths a side found, as texts for the check.
template <class Paths, class Text> std::vector<std::string> texts(const Paths& found, Text text) {
    std::vector<std::string> result;
    result.reserve(static_cast<std::size_t>(found.size()));
    for (const auto& path : found) {
        result.push_back(text(path));
    }
    return result;
}

struct RawScan {
    static constexpr const char* name = "raw:getdents64+fnmatch";
    static std::vector<std::string> run() {
        std::vector<std::string> found;
        std::string prefix = treeRoot + "/";
        OstrelBench::rawWalk(AT_FDCWD, treeRoot.c_str(), pattern, prefix, found);
        return found;
    }
    static std::vector<std::string> paths(std::vector<std::string> found) { return found; }
};
struct OstrelScan {
    static constexpr const char* name = "ostrel:Dir::scan(pattern,recursive)";
    static std::vector<std::string> run() { return Ostrel::Dir(treeRoot).scan(pattern, true); }
    static std::vector<std::string> paths(std::vector<std::string> found) { return found; }
};
// The iterator gives every entry (it stats each one to know a directory); Glob matches names.
struct PocoScan {
    static constexpr const char* name = "poco:RecursiveDirectoryIterator+Glob::match";
    static std::vector<std::string> run() {
        Poco::Glob glob(pattern);
        std::vector<std::string> found;
        for (Poco::RecursiveDirectoryIterator it(treeRoot), end; it != end; ++it) {
            if (glob.match(it.name())) {
                found.push_back(it.path().toString());
            }
        }
        return found;
    }
    static std::vector<std::string> paths(std::vector<std::string> found) { return found; }
};
// Boost has no wildcard matcher; fnmatch is the platform's.
struct BoostScan {
    static constexpr const char* name = "boost:recursive_directory_iterator+fnmatch";
    static std::vector<boost::filesystem::path> run() {
        std::vector<boost::filesystem::path> found;
        for (const auto& entry : boost::filesystem::recursive_directory_iterator(treeRoot)) {
            if (fnmatch(pattern, entry.path().filename().c_str(), 0) == 0) {
                found.push_back(entry.path());
            }
        }
        return found;
    }
    static std::vector<std::string> paths(const std::vector<boost::filesystem::path>& found) {
        return texts(found, [](const boost::filesystem::path& path) { return path.string(); });
    }
};
struct QtScan {
    static constexpr const char* name = "qt:QDirIterator(nameFilters,Files,Subdirectories)";
    static QStringList run() {
        QStringList found;
        QDirIterator it(QString::fromStdString(treeRoot), QStringList{pattern}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            found.append(it.next());
        }
        return found;
    }
    static std::vector<std::string> paths(const QStringList& found) {
        return texts(found, [](const QString& path) { return path.toStdString(); });
    }
};
struct StdScan {
    static constexpr const char* name = "std:recursive_directory_iterator+fnmatch";
    static std::vector<std::filesystem::path> run() {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(treeRoot)) {
            if (fnmatch(pattern, entry.path().filename().c_str(), 0) == 0) {
                found.push_back(entry.path());
            }
        }
        return found;
    }
    static std::vector<std::string> paths(const std::vector<std::filesystem::path>& found) {
        return texts(found, [](const std::filesystem::path& path) { return path.string(); });
    }
};

template <class Side> void scan(benchmark::State& state) {
    for (auto _ : state) {
        auto found = Side::run();
        benchmark::DoNotOptimize(found);
    }
}

// Every side finds the same 10,000 paths, in whatever order.
template <class Side> void checkScan() {
    std::vector<std::string> found = Side::paths(Side::run());
    std::sort(found.begin(), found.end());
    std::vector<std::string> expected = RawScan::run();
    std::sort(expected.begin(), expected.end());
    expect(found == expected && found.size() == 10000, "DirectoryScan", Side::name,
           std::to_string(found.size()) + " paths");
}

// ---- File lock -------------------------------------------------------------------------------

// The library of a side ("raw", "ostrel", ...), which names its files.
std::string library(const char* name) {
    return std::string(name, std::strchr(name, ':'));
}

// The lock file of the side, one per side: QLockFile makes and removes its own.
template <class Side> std::string lockPath() {
    return scratch + "/lock/" + library(Side::name) + ".lock";
}

// The whole-file open file description lock request of type, as FileLock makes it.
struct flock wholeFile(short type) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    return request;
}

// The blocking lock of the others, written with the platform call: F_OFD_SETLKW (which returns at
// once when nobody holds the lock), F_OFD_SETLK to let go.
struct RawFileLock {
    static constexpr const char* name = "raw:fcntl(F_OFD_SETLKW)+fcntl(F_OFD_SETLK,F_UNLCK)";
    explicit RawFileLock(const std::string& path)
        : fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {}
    ~RawFileLock() { close(fd); }
    RawFileLock(const RawFileLock&) = delete;
    RawFileLock& operator=(const RawFileLock&) = delete;
    void lock() const {
        struct flock request = wholeFile(F_WRLCK);
        fcntl(fd, F_OFD_SETLKW, &request);
    }
    bool tryLock() const {
        struct flock request = wholeFile(F_WRLCK);
        return fcntl(fd, F_OFD_SETLK, &request) == 0;
    }
    void unlock() const {
        struct flock request = wholeFile(F_UNLCK);
        fcntl(fd, F_OFD_SETLK, &request);
    }
    const int fd;
};
struct OstrelFileLock {
    static constexpr const char* name = "ostrel:FileLock::lock+unlock";
    explicit OstrelFileLock(const std::string& path) : file(path) {}
    void lock() { file.lock(); }
    bool tryLock() { return file.tryLock(); }
    void unlock() { file.unlock(); }
    Ostrel::FileLock file;
};
// A lock of the process (fcntl F_SETLKW) on a file that must exist: made first, as the class's
// documentation asks.
struct BoostFileLock {
    static constexpr const char* name = "boost:interprocess::file_lock::lock+unlock";
    static const char* made(const std::string& path) {
        close(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
        return path.c_str();
    }
    explicit BoostFileLock(const std::string& path) : file(made(path)) {}
    void lock() { file.lock(); }
    bool tryLock() { return file.try_lock(); }
    void unlock() { file.unlock(); }
    boost::interprocess::file_lock file;
};
// Qt's documented mechanism: lock() creates the file exclusively, writes the process id, host
// and application names into it and flushes it to the disk; unlock() removes it.
struct QtFileLock {
    static constexpr const char* name = "qt:QLockFile::lock+unlock";
    explicit QtFileLock(const std::string& path) : file(QString::fromStdString(path)) {}
    void lock() { file.lock(); }
    bool tryLock() { return file.tryLock(0); }
    void unlock() { file.unlock(); }
    QLockFile file;
};

template <class Side> void fileLock(benchmark::State& state) {
    Side side(lockPath<Side>());
    for (auto _ : state) {
        side.lock();
        side.unlock();
    }
}

// Whether probe() returns true in a child process (a file lock may not exclude its own process).
template <class Probe> bool inOtherProcess(Probe probe) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(probe() ? 0 : 1);
    }
    int status = 1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// While a side holds its lock, another process of the same library cannot take it; once it lets
// go, that process can.
template <class Side> void checkFileLock() {
    const std::string path = lockPath<Side>();
    const auto tryFromOther = [&path] {
        Side other(path);
        const bool taken = other.tryLock();
        if (taken) {
            other.unlock();
        }
        return taken;
    };
    Side side(path);
    side.lock();
    const bool keptOut = !inOtherProcess(tryFromOther);
    side.unlock();
    const bool letIn = inOtherProcess(tryFromOther);
    expect(keptOut && letIn, "FileLock", Side::name,
           std::string(keptOut ? "excludes" : "does not exclude") + " another process, " +
               (letIn ? "lets it in" : "does not let it in") + " after the unlock");
}

// ---- Atomic save -----------------------------------------------------------------------------

const std::string saved(4096, 's');

// The directory of the side's saves, one per side, so that the check sees all it leaves there.
template <class Side> std::string saveDirectory() {
    return scratch + "/save/" + library(Side::name);
}

struct RawSave {
    static constexpr const char* name =
        "raw:open(O_TMPFILE)+write+fsync+linkat+renameat+fsync(directory)";
    static bool save(const std::string& directory, const std::string& data) {
        OstrelBench::atomicWriteByHand(directory.c_str(), "file", data, true);
        return true;
    }
};
struct OstrelSave {
    static constexpr const char* name = "ostrel:AtomicFile::write";
    static bool save(const std::string& directory, const std::string& data) {
        Ostrel::AtomicFile::write(directory + "/file", data);
        return true;
    }
};
struct QtSave {
    static constexpr const char* name = "qt:QSaveFile::open+write+commit";
    static bool save(const std::string& directory, const std::string& data) {
        QSaveFile file(QString::fromStdString(directory + "/file"));
        return file.open(QIODevice::WriteOnly) &&
               file.write(data.data(), static_cast<qint64>(data.size())) ==
                   static_cast<qint64>(data.size()) &&
               file.commit();
    }
};

template <class Side> void atomicSave(benchmark::State& state) {
    const std::string directory = saveDirectory<Side>();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Side::save(directory, saved));
    }
}

// The names in directory, and whether its "file" holds content.
std::string savedState(const std::string& directory, const std::string& content) {
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names += entry.path().filename().string() + " ";
    }
    std::string text;
    const int fd = open((directory + "/file").c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[8192];
    for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (fd >= 0) {
        close(fd);
    }
    return names + (text == content ? "whole" : std::to_string(text.size()) + " bytes, not it");
}

// A save makes the file, a second one replaces it, and each leaves the file alone in its
// directory with the whole content.
template <class Side> void checkAtomicSave() {
    const std::string directory = saveDirectory<Side>();
    mkdir(directory.c_str(), 0755);
    const std::string first(4096, 'm');
    const bool made = Side::save(directory, first);
    const std::string afterFirst = savedState(directory, first);
    const bool replaced = Side::save(directory, saved);
    const std::string afterSecond = savedState(directory, saved);
    expect(made && replaced && afterFirst == "file whole" && afterSecond == "file whole",
           "AtomicSave", Side::name, "made: " + afterFirst + ", replaced: " + afterSecond);
}

// ---- Removal of a tree -----------------------------------------------------------------------

// 10 directories of 20 directories of 50 files each.
constexpr int middles = 10, leaves = 20, files = 50;
constexpr unsigned long removedEntries = OstrelBench::treeEntries(middles, leaves, files);
// What a side returns when its library does not count what it removed.
constexpr long uncounted = -1;

std::string removalRoot() {
    return scratch + "/remove";
}

// Writes out the dirty data of the file system of the scratch directory (syncfs).
void flushFileSystem() {
    const int fd = open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
}

struct RawRemove {
    static constexpr const char* name = "raw:openat+readdir+unlinkat(walk)";
    static long run(const std::string& root) {
        return static_cast<long>(OstrelBench::removeByHand(AT_FDCWD, root.c_str()));
    }
};
struct OstrelRemove {
    static constexpr const char* name = "ostrel:removeAll";
    static long run(const std::string& root) { return static_cast<long>(Ostrel::removeAll(root)); }
};
struct PocoRemove {
    static constexpr const char* name = "poco:File::remove(recursive)";
    static long run(const std::string& root) {
        Poco::File(root).remove(true);
        return uncounted;
    }
};
struct BoostRemove {
    static constexpr const char* name = "boost:filesystem::remove_all";
    static long run(const std::string& root) {
        return static_cast<long>(boost::filesystem::remove_all(root));
    }
};
struct QtRemove {
    static constexpr const char* name = "qt:QDir::removeRecursively";
    static long run(const std::string& root) {
        return QDir(QString::fromStdString(root)).removeRecursively() ? uncounted : 0;
    }
};
struct StdRemove {
    static constexpr const char* name = "std:filesystem::remove_all";
    static long run(const std::string& root) {
        return static_cast<long>(std::filesystem::remove_all(root));
    }
};

// Each iteration makes the tree with the timing paused, then times its removal. The file
// system's dirty data is written out before and after each removal, outside the timing, so
// that no removal pays for the making of its tree and no save of the other rows for a removal.
template <class Side> void removeTree(benchmark::State& state) {
    const std::string root = removalRoot();
    for (auto _ : state) {
        state.PauseTiming();
        OstrelBench::makeTree(root, middles, leaves, files);
        flushFileSystem();
        state.ResumeTiming();
        benchmark::DoNotOptimize(Side::run(root));
        state.PauseTiming();
        flushFileSystem();
        state.ResumeTiming();
    }
}

// Every side removes the whole tree (and says it removed every entry, where it counts them).
template <class Side> void checkRemoveTree() {
    const std::string root = removalRoot();
    OstrelBench::makeTree(root, middles, leaves, files);
    const long removed = Side::run(root);
    struct stat status {};
    const bool gone = lstat(root.c_str(), &status) != 0 && errno == ENOENT;
    expect(gone && (removed == uncounted || removed == static_cast<long>(removedEntries)),
           "RemoveTree", Side::name,
           (removed == uncounted ? std::string("not counted") : std::to_string(removed)) +
               (gone ? ", gone" : ", still there"));
}

// ---- File watching ---------------------------------------------------------------------------

// The files made in a watched directory at each run, named f0, f1, ...; each side is to report
// their creation, then (outside the timing) their removal. Every wait is bounded by watchWait.
constexpr int watchedFiles = 1000;
constexpr std::chrono::seconds watchWait(10);

template <class Side> std::string watchDirectory() {
    return watchRoot + "/" + library(Side::name);
}

std::string watchedName(const std::string& directory, int i) {
    return directory + "/f" + std::to_string(i);
}

void makeWatched(const std::string& directory) {
    for (int i = 0; i < watchedFiles; ++i) {
        close(open(watchedName(directory, i).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    }
}

void removeWatched(const std::string& directory) {
    for (int i = 0; i < watchedFiles; ++i) {
        unlink(watchedName(directory, i).c_str());
    }
}

bool beforeDeadline(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::steady_clock::now() < deadline;
}

// The loop of bench/EventBench.cpp: a non-blocking inotify descriptor with the watcher's mask,
// read into a 16 KiB buffer until all the creations (or removals) came, each read's events kept
// as kind and path, polling while the queue is empty.
struct RawWatch {
    static constexpr const char* name = "raw:inotify_add_watch+read(loop)";
    static constexpr std::uint32_t mask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB |
                                          IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                          IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
    struct Event {
        std::uint32_t kind;
        std::string path;
    };
    explicit RawWatch(const std::string& watched)
        : directory(watched), fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(fd, directory.c_str(), mask);
    }
    ~RawWatch() { close(fd); }
    RawWatch(const RawWatch&) = delete;
    RawWatch& operator=(const RawWatch&) = delete;
    // Whether all the files' events of kind (IN_CREATE or IN_DELETE) came; their paths to names.
    bool take(bool created, std::vector<std::string>* names) {
        const std::uint32_t wanted = created ? IN_CREATE : IN_DELETE;
        alignas(inotify_event) static char buffer[16384];
        const auto deadline = std::chrono::steady_clock::now() + watchWait;
        int seen = 0;
        while (seen < watchedFiles && beforeDeadline(deadline)) {
            const ssize_t length = read(fd, buffer, sizeof buffer);
            if (length <= 0) {
                pollfd ready{fd, POLLIN, 0};
                poll(&ready, 1, 100);
                continue;
            }
            events.clear();
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                events.push_back({event->mask, directory + "/" + event->name});
                if ((event->mask & wanted) != 0) {
                    ++seen;
                    if (names != nullptr) {
                        names->push_back(events.back().path);
                    }
                }
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            benchmark::DoNotOptimize(events.data());
        }
        return seen == watchedFiles;
    }
    const std::string directory;
    const int fd;
    std::vector<Event> events;
};
struct OstrelWatch {
    static constexpr const char* name = "ostrel:FileWatcher::add+waitFor";
    explicit OstrelWatch(const std::string& directory) { watcher.add(directory); }
    bool take(bool created, std::vector<std::string>* names) {
        const Ostrel::FileWatcher::Kind wanted =
            created ? Ostrel::FileWatcher::Created : Ostrel::FileWatcher::Deleted;
        const auto deadline = std::chrono::steady_clock::now() + watchWait;
        int seen = 0;
        while (seen < watchedFiles && beforeDeadline(deadline)) {
            const auto events = watcher.waitFor(100);
            for (const auto& event : events) {
                if (event.kind == wanted) {
                    ++seen;
                    if (names != nullptr) {
                        names->push_back(event.path);
                    }
                }
            }
            benchmark::DoNotOptimize(events.data());
        }
        return seen == watchedFiles;
    }
    Ostrel::FileWatcher watcher;
};
// The watcher reports from a thread of its own (inotify on Linux), through its itemAdded and
// itemRemoved events; the benchmark's thread waits on a condition until all the files' came.
// The watch is added by that thread after the constructor returns and the class has no way to
// say when: the constructor here makes probe files until one is reported, then removes them
// and waits for their removals, so that the files of the runs come after the watch.
struct PocoWatch {
    static constexpr const char* name = "poco:DirectoryWatcher(itemAdded,itemRemoved)";
    explicit PocoWatch(const std::string& watched) : watcher(watched) {
        watcher.itemAdded += Poco::delegate(this, &PocoWatch::onAdded);
        watcher.itemRemoved += Poco::delegate(this, &PocoWatch::onRemoved);
        int probes = 0;
        const auto deadline = std::chrono::steady_clock::now() + watchWait;
        while (beforeDeadline(deadline) && !reported(true, 1, std::chrono::milliseconds(50))) {
            const std::string probe = watched + "/probe" + std::to_string(probes++);
            close(open(probe.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        }
        for (int i = 0; i < probes; ++i) {
            unlink((watched + "/probe" + std::to_string(i)).c_str());
        }
        reported(false, probes, watchWait);
        const std::lock_guard<std::mutex> lock(mutex);
        added = removed = 0;
        names.clear();
    }
    ~PocoWatch() {
        watcher.itemAdded -= Poco::delegate(this, &PocoWatch::onAdded);
        watcher.itemRemoved -= Poco::delegate(this, &PocoWatch::onRemoved);
    }
    PocoWatch(const PocoWatch&) = delete;
    PocoWatch& operator=(const PocoWatch&) = delete;
    void onAdded(const void*, const Poco::DirectoryWatcher::DirectoryEvent& event) {
        count(added, event);
    }
    void onRemoved(const void*, const Poco::DirectoryWatcher::DirectoryEvent& event) {
        count(removed, event);
    }
    void count(int& counter, const Poco::DirectoryWatcher::DirectoryEvent& event) {
        const std::lock_guard<std::mutex> lock(mutex);
        names.push_back(event.item.path());
        if (++counter == target) {
            arrived.notify_one();
        }
    }
    // Whether count events of the kind came within wait; the counter starts again from 0.
    bool reported(bool created, int count, std::chrono::steady_clock::duration wait) {
        std::unique_lock<std::mutex> lock(mutex);
        int& counter = created ? added : removed;
        target = count;
        const bool all = arrived.wait_for(lock, wait, [&] { return counter >= count; });
        counter = 0;
        return all;
    }
    // Whether all the files' events of the kind came (while they were made, or since); their
    // paths to paths.
    bool take(bool created, std::vector<std::string>* paths) {
        const bool all = reported(created, watchedFiles, watchWait);
        const std::lock_guard<std::mutex> lock(mutex);
        if (paths != nullptr) {
            paths->swap(names);
        }
        names.clear();
        return all;
    }
    std::mutex mutex;
    std::condition_variable arrived;
    int added = 0;
    int removed = 0;
    int target = 0;
    // The paths reported, kept as the other sides keep theirs.
    std::vector<std::string> names;
    Poco::DirectoryWatcher watcher;
};
// QFileSystemWatcher says only that a watched directory changed, once for what it read at a
// time, with the directory's path: no names, no kinds. Its signal is delivered by the event
// loop, which runs here until it comes (or a timer ends the wait).
struct QtWatch {
    static constexpr const char* name = "qt:QFileSystemWatcher::directoryChanged+QEventLoop";
    explicit QtWatch(const std::string& directory) {
        watcher.addPath(QString::fromStdString(directory));
        QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop,
                         [this](const QString& path) {
                             changed.push_back(path.toStdString());
                             loop.quit();
                         });
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    }
    // Whether the directory's change was signalled; its paths (once per signal) to names.
    bool take(bool created, std::vector<std::string>* names) {
        changed.clear();
        timer.start(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(watchWait).count()));
        loop.exec();
        timer.stop();
        if (!created) {
            QCoreApplication::processEvents(); // what the removals left
        }
        if (names != nullptr) {
            *names = changed;
        }
        return !changed.empty();
    }
    QFileSystemWatcher watcher;
    QEventLoop loop;
    QTimer timer;
    std::vector<std::string> changed;
};

// Each run makes the files and takes their events (timed), then removes them and takes the
// removals outside the timing.
template <class Side> void watchFiles(benchmark::State& state) {
    const std::string directory = watchDirectory<Side>();
    Side side(directory);
    bool all = true;
    for (auto _ : state) {
        makeWatched(directory);
        all = side.take(true, nullptr) && all;
        state.PauseTiming();
        removeWatched(directory);
        all = side.take(false, nullptr) && all;
        state.ResumeTiming();
    }
    if (!all) {
        state.SkipWithError("events missing");
    }
}

// Raw, Ostrel and Poco report the path of every file made (and of every file removed); Qt
// signals a change of the directory.
template <class Side> void checkWatch() {
    const std::string directory = watchDirectory<Side>();
    mkdir(directory.c_str(), 0755);
    std::vector<std::string> made, gone;
    bool all = false;
    {
        Side side(directory);
        makeWatched(directory);
        all = side.take(true, &made);
        removeWatched(directory);
        all = side.take(false, &gone) && all;
    }
    std::sort(made.begin(), made.end());
    std::sort(gone.begin(), gone.end());
    std::vector<std::string> expected;
    const bool qt = library(Side::name) == "qt";
    for (int i = 0; i < (qt ? 0 : watchedFiles); ++i) {
        expected.push_back(watchedName(directory, i));
    }
    std::sort(expected.begin(), expected.end());
    const bool changed = !made.empty() && !gone.empty() &&
                         std::all_of(made.begin(), made.end(),
                                     [&](const std::string& path) { return path == directory; });
    expect(all && (qt ? changed : made == expected && gone == expected), "WatchCreate", Side::name,
           qt ? std::to_string(made.size()) + " directoryChanged(directory) for the creations"
              : std::to_string(made.size()) + " creations and " + std::to_string(gone.size()) +
                    " removals of the " + std::to_string(watchedFiles) + " paths");
}

// ---- The rows: each checks its sides, then registers them -----------------------------------

template <class... Sides> void normalizeRows() {
    for (const PathCase& c : pathCases) {
        std::fprintf(stderr, "%s: \"%s\"\n", c.row, c.input);
        (checkNormalize<Sides>(c), ...);
        (benchmark::RegisterBenchmark((std::string(c.row) + "/" + Sides::name).c_str(),
                                      normalize<Sides>, c),
         ...);
    }
}
template <class... Sides> void scanRow() {
    (checkScan<Sides>(), ...);
    (add(std::string("DirectoryScan/") + Sides::name, scan<Sides>)->Unit(benchmark::kMillisecond),
     ...);
}

// The rows that wait for the disk (QLockFile and the saves flush their files) are timed in real
// time. A flush costs 0.2 ms or 10 ms depending on what the other processes of the machine have
// left in the file system's journal, which changes by the second: so these rows run 27 short
// repetitions (0.05 s) instead of a few long ones, interleaved with the others, so that every
// side meets the same mix of quiet and busy spells and its median is not a matter of luck.
constexpr int diskRepetitions = 27;
constexpr double diskMinTime = 0.05;

template <class... Sides> void fileLockRow() {
    (checkFileLock<Sides>(), ...);
    (add(std::string("FileLock/") + Sides::name, fileLock<Sides>)
         ->UseRealTime()
         ->Repetitions(diskRepetitions)
         ->MinTime(diskMinTime),
     ...);
}
template <class... Sides> void atomicSaveRow() {
    (checkAtomicSave<Sides>(), ...);
    (add(std::string("AtomicSave/") + Sides::name, atomicSave<Sides>)
         ->UseRealTime()
         ->Repetitions(diskRepetitions)
         ->MinTime(diskMinTime)
         ->Unit(benchmark::kMillisecond),
     ...);
}
// The removal is compared by the processor time of the calling thread, system time included: its
// real time is mostly waits for the journal that every side makes alike (0.2 to 0.7 s for 75 ms
// of processor time).
template <class... Sides> void removeTreeRow() {
    (checkRemoveTree<Sides>(), ...);
    (add(std::string("RemoveTree/") + Sides::name, removeTree<Sides>)
         ->Unit(benchmark::kMillisecond),
     ...);
}
// The watching is timed in real time: Poco's watcher reports from its own thread.
template <class... Sides> void watchRow() {
    (checkWatch<Sides>(), ...);
    (add(std::string("WatchCreate/") + Sides::name, watchFiles<Sides>)
         ->UseRealTime()
         ->Unit(benchmark::kMillisecond),
     ...);
}

void rows() {
    normalizeRows<RawNormalize, OstrelNormalize, PocoNormalize, BoostNormalize, QtNormalize,
                  StdNormalize>();
    scanRow<RawScan, OstrelScan, PocoScan, BoostScan, QtScan, StdScan>();
    fileLockRow<RawFileLock, OstrelFileLock, BoostFileLock, QtFileLock>();
    atomicSaveRow<RawSave, OstrelSave, QtSave>();
    removeTreeRow<RawRemove, OstrelRemove, PocoRemove, BoostRemove, QtRemove, StdRemove>();
    watchRow<RawWatch, OstrelWatch, PocoWatch, QtWatch>();
    // What the making of the trees left to write goes to the disk before any timing.
    flushFileSystem();
}

// The scratch directory goes, however the run ended.
void cleanup(pid_t) {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    std::filesystem::remove_all(watchRoot, ignored);
}

} // namespace

int main(int argc, char** argv) {
    if (!makeRoot()) {
        return 1;
    }
    return OstrelPeers::run(argc, argv, rows, cleanup, fillTree);
}
