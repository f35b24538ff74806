#include <Ostrel/Dir.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Ostrel {

// The path tokens, built at load in this order and only read afterwards. They have hidden
// visibility like everything not marked for export, so they stay internal to the library.
std::string upDirToken("..");
std::string sameDirToken(".");

const char Dir::_pathSeparator = '/';

void Dir::setPath(const std::string& text, DirProp prop) {
    path = text;
    path += _pathSeparator;
    if (prop != AsGiven) {
        fixProp(prop);
    }
}

void Dir::changePath(const std::string& text, DirProp prop) {
    path += text;
    path += _pathSeparator;
    if (prop != AsGiven) {
        fixProp(prop);
    }
}

void Dir::changePathUp(DirProp prop) {
    path += upDirToken;
    path += _pathSeparator;
    if (prop != AsGiven) {
        fixProp(prop);
    }
}

namespace {

constexpr char separator = '/';

// The first separator in [from, end), or end. A usual component is short: its separator is found
// by looking at its first bytes, where a call of memchr would cost more than the search; past
// them memchr takes over, which is faster on a long component.
char* nextSeparator(char* from, char* end) noexcept {
    constexpr std::ptrdiff_t byHand = 16;
    char* const near = end - from > byHand ? from + byHand : end;
    for (; from != near; ++from) {
        if (*from == separator) {
            return from;
        }
    }
    if (from == end) {
        return end;
    }
    void* const found = std::memchr(from, separator, static_cast<std::size_t>(end - from));
    return found != nullptr ? static_cast<char*>(found) : end;
}

} // namespace

// Normalises in one pass over the text, writing the kept components back into the same buffer.
// The write position never overtakes the read position, so no copy of the text is needed: the
// kept components are [root, out), each followed by one separator, and dropping the top one is
// moving out back to the separator before it. "." and ".." are recognised by their first bytes,
// without a search; a component that has not moved is not copied. Only a last component without
// a trailing separator, still in place, makes the text grow by that one separator. The separator
// and the tokens are the character literals of _pathSeparator, sameDirToken and upDirToken, which
// the compiler folds into the loop.
void Dir::fixProp(DirProp /*prop*/) {
    if (path.empty()) {
        return;
    }
    char* const begin = &path[0];
    char* const end = begin + path.size();
    char* const root = begin + (*begin == separator ? 1 : 0);
    char* out = root;
    char* in = root;
    while (in != end) {
        if (*in == separator) {
            ++in;
            continue;
        }
        if (*in == '.') {
            char* const next = in + 1;
            if (next == end || *next == separator) {
                in = next;
                continue;
            }
            if (*next == '.' && (next + 1 == end || next[1] == separator)) {
                if (out != root) {
                    for (--out; out != root && out[-1] != separator; --out) {
                    }
                }
                in = next + 1;
                continue;
            }
        }
        char* const stop = nextSeparator(in, end);
        if (stop == end) {
            if (out == in) {
                path.push_back(separator);
                return;
            }
            std::memmove(out, in, static_cast<std::size_t>(end - in));
            out += end - in;
            *out++ = separator;
            break;
        }
        const auto length = static_cast<std::size_t>(stop + 1 - in); // with its separator
        if (out != in) {
            std::memmove(out, in, length);
        }
        out += length;
        in = stop + 1;
    }
    path.resize(static_cast<std::size_t>(out - begin));
}

bool Dir::isValid(DirProp prop) {
    if (prop != AsGiven) {
        fixProp(prop);
    }
    DIR* stream = opendir(path.c_str());
    if (stream == nullptr) {
        return false;
    }
    closedir(stream);
    return true;
}

std::vector<std::string> Dir::scan(const std::string& pattern, bool recursive) {
    std::vector<std::string> result;
    scanDir(result, path, pattern, recursive);
    return result;
}

int Dir::scan(std::vector<std::string>& result, const std::string& pattern, bool recursive) {
    scanDir(result, path, pattern, recursive);
    return static_cast<int>(result.size());
}

namespace {

// Closes the directory stream however the listing ends.
struct DirStream {
    DIR* stream;
    ~DirStream() { closedir(stream); }
};

bool isDotOrDotDot(const char* name) noexcept {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

void Dir::scanDir(std::vector<std::string>& result, const std::string& dir,
                  const std::string& pattern, bool recursive) {
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) {
        return;
    }
    const DirStream guard{stream};

    std::string prefix = dir;
    if (prefix.empty() || prefix.back() != _pathSeparator) {
        prefix += _pathSeparator;
    }
    const std::size_t prefixLength = prefix.size();

    dirent entry;
    dirent* next = nullptr;
    for (;;) {
        // The re-entrant reader fills this worker's own entry buffer, so concurrent scans share
        // nothing; glibc marks it deprecated in favour of readdir, whose buffer belongs to the
        // stream, which is why that one warning is silenced here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        const int error = readdir_r(stream, &entry, &next);
#pragma GCC diagnostic pop
        if (error != 0 || next == nullptr) {
            return;
        }
        const char* name = entry.d_name;
        if (entry.d_type == DT_DIR) {
            if (recursive && !isDotOrDotDot(name)) {
                prefix.resize(prefixLength);
                prefix += name;
                scanDir(result, prefix, pattern, true);
            }
            continue;
        }
        if (fnmatch(pattern.c_str(), name, 0) == 0) {
            prefix.resize(prefixLength);
            prefix += name;
            result.push_back(prefix);
        }
    }
}

namespace {

// One entry of a directory listed in order: where its name starts in Walk::names, and the type
// the reader reported.
struct Entry {
    std::size_t name;
    unsigned char type;
};

// The state of one scanWith: the options, the text of the directory being read (its prefix,
// ending with a separator), the (device, inode) of each directory on the current branch (with
// followLinks), and the entries of every directory on the branch that is listed in order (one
// vector of entries and one buffer of their NUL-terminated names, both used as stacks, so that
// a scan allocates for the deepest branch only and sorting moves small entries, not strings).
struct Walk {
    const char* pattern;
    const Dir::ScanOptions& options;
    unsigned limit; // the deepest level listed, 0 for none
    std::vector<std::string>& result;
    std::string prefix;
    std::vector<std::pair<dev_t, ino_t>> branch;
    std::vector<Entry> entries;
    std::string names;

    void list(int fd, unsigned depth);
    void visit(int fd, const char* name, unsigned char type, unsigned depth);
    void enter(int fd, const char* name, int flags, unsigned depth);
    bool onBranch(const struct stat& info) const {
        return std::find(branch.begin(), branch.end(), std::make_pair(info.st_dev, info.st_ino)) !=
               branch.end();
    }
};

// Lists the directory open as fd (which the stream then owns), whose entries are at depth.
void Walk::list(int fd, unsigned depth) {
    DIR* stream = ::fdopendir(fd);
    if (stream == nullptr) {
        ::close(fd);
        return;
    }
    const DirStream guard{stream};
    if (options.followLinks) {
        struct stat info;
        if (::fstat(fd, &info) != 0 || onBranch(info)) {
            return;
        }
        branch.emplace_back(info.st_dev, info.st_ino);
    }
    if (!options.sorted) {
        while (const dirent* entry = ::readdir(stream)) {
            visit(fd, entry->d_name, entry->d_type, depth);
        }
    } else {
        const std::size_t first = entries.size();
        const std::size_t firstName = names.size();
        while (const dirent* entry = ::readdir(stream)) {
            entries.push_back({names.size(), entry->d_type});
            names.append(entry->d_name, std::strlen(entry->d_name) + 1);
        }
        const char* const text = names.data();
        std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
                  [text](const Entry& a, const Entry& b) {
                      return std::strcmp(text + a.name, text + b.name) < 0;
                  });
        // Deeper levels append to names, which may move it: the name is read anew for each
        // entry, and visit is done with it before it descends.
        for (std::size_t i = first, end = entries.size(); i < end; ++i) {
            visit(fd, names.data() + entries[i].name, entries[i].type, depth);
        }
        entries.resize(first);
        names.resize(firstName);
    }
    if (options.followLinks) {
        branch.pop_back();
    }
}

void Walk::visit(int fd, const char* name, unsigned char type, unsigned depth) {
    if (type == DT_UNKNOWN && options.resolveUnknown) {
        struct stat info;
        if (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            type = static_cast<unsigned char>(IFTODT(info.st_mode));
        }
    }
    const bool deeper = limit == 0 || depth < limit;
    if (type == DT_DIR) {
        if (deeper && !isDotOrDotDot(name)) {
            enter(fd, name, O_NOFOLLOW, depth + 1);
        }
        return;
    }
    if (type == DT_LNK && options.followLinks) {
        struct stat target;
        if (::fstatat(fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
            if (!deeper) {
                return; // a directory, at the last level listed
            }
            if (!onBranch(target)) {
                enter(fd, name, 0, depth + 1);
                return;
            }
            // The link closes a loop: listed like a file below.
        }
    }
    if (::fnmatch(pattern, name, options.matchFlags) == 0) {
        const std::size_t length = prefix.size();
        prefix += name;
        result.push_back(prefix);
        prefix.resize(length);
    }
}

void Walk::enter(int fd, const char* name, int flags, unsigned depth) {
    const int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (child < 0) {
        return;
    }
    const std::size_t length = prefix.size();
    prefix += name;
    prefix += Dir::_pathSeparator;
    list(child, depth);
    prefix.resize(length);
}

} // namespace

std::vector<std::string> Dir::scanWith(const std::string& pattern,
                                       const ScanOptions& options) const {
    std::vector<std::string> result;
    const unsigned limit = options.recursive ? options.maxDepth : 1;
    Walk walk{pattern.c_str(), options, limit, result, path, {}, {}, {}};
    if (walk.prefix.empty() || walk.prefix.back() != _pathSeparator) {
        walk.prefix += _pathSeparator;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        walk.list(fd, 1);
    }
    return result;
}

} // namespace Ostrel
