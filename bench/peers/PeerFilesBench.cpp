// Paths and directories through Ostrel, the hand-written code of bench/RawFiles.h and each
// peer's class: the normalisation of three path texts ("." and ".." resolved, repeated separators
// folded, nothing read from the disk), and a recursive scan for "*.png" in a tree of 100,000
// files in 2,000 directories (one file in ten matches; no directory does, so no side needs to
// test the type of a match), warm cache. Before timing, the normalised texts of every side are
// printed side by side; the libraries differ in how a directory path ends ("lib/", "lib/.",
// "lib"), which the check ignores. Rows for file locks, file watching and atomic saves belong
// here when the library has them.
#include <Ostrel/Dir.h>

#include "RawFiles.h"
#include "peers/Peers.h"

#include <Poco/Glob.h>
#include <Poco/Path.h>
#include <Poco/RecursiveDirectoryIterator.h>

#include <boost/filesystem.hpp>

#include <QDir>
#include <QDirIterator>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
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
std::string treeRoot;

// The root of the tree, made by the parent so that it can remove the tree however the run ends.
bool makeRoot() {
    char name[] = "/tmp/ostrel-peerbench-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        std::perror("mkdtemp");
        return false;
    }
    treeRoot = name;
    return true;
}

// 40 directories of 49 sub-directories each, 50 files in every one of the 2,000.
bool fillTree() {
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

void rows() {
    normalizeRows<RawNormalize, OstrelNormalize, PocoNormalize, BoostNormalize, QtNormalize,
                  StdNormalize>();
    scanRow<RawScan, OstrelScan, PocoScan, BoostScan, QtScan, StdScan>();
}

// The tree goes, however the run ended.
void cleanup(pid_t) {
    std::error_code ignored;
    std::filesystem::remove_all(treeRoot, ignored);
}

} // namespace

int main(int argc, char** argv) {
    if (!makeRoot()) {
        return 1;
    }
    return OstrelPeers::run(argc, argv, rows, cleanup, fillTree);
}
