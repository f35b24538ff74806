#include <Ostrel/Dir.h>

#include <cstring>

#include <dirent.h>
#include <fnmatch.h>

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

// Normalises in one pass over the components, writing the kept ones back into the same buffer.
// The write position never overtakes the read position, so no copy of the text is needed: the
// kept components are text[base, out), each followed by one separator, and dropping the top one
// is moving out back to the separator before it. Only a last component without a trailing
// separator can make the text grow by that one separator. The separator and the two tokens are
// compared as character literals (the values of _pathSeparator, sameDirToken and upDirToken),
// which the compiler folds into the loop instead of reading them from memory for every component.
void Dir::fixProp(DirProp /*prop*/) {
    constexpr char separator = '/';
    const std::size_t size = path.size();
    if (size == 0) {
        return;
    }
    char* const text = &path[0];
    const std::size_t base = text[0] == separator ? 1 : 0;
    std::size_t out = base;
    std::size_t in = base;
    while (in < size) {
        if (text[in] == separator) {
            ++in;
            continue;
        }
        const std::size_t start = in;
        while (in < size && text[in] != separator) {
            ++in;
        }
        const std::size_t length = in - start;
        if (text[start] == '.' && (length == 1 || (length == 2 && text[start + 1] == '.'))) {
            if (length == 2 && out > base) {
                --out; // the separator after the top component
                while (out > base && text[out - 1] != separator) {
                    --out;
                }
            }
            continue;
        }
        if (out != start) {
            std::memmove(text + out, text + start, length);
        }
        out += length;
        if (out == size) {
            // The last component, kept in place with no separator after it: the text grows.
            path.push_back(separator);
            return;
        }
        text[out++] = separator;
    }
    path.resize(out);
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

} // namespace Ostrel
