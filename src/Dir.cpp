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
// kept components are path[base, out), each followed by one separator, and dropping the top one
// is moving out back to the separator before it. Only a last component without a trailing
// separator can make the text grow by that one separator.
void Dir::fixProp(DirProp /*prop*/) {
    if (path.empty()) {
        return;
    }
    const std::size_t size = path.size();
    const std::size_t base = path[0] == _pathSeparator ? 1 : 0;
    std::size_t out = base;
    std::size_t in = 0;
    while (in < size) {
        while (in < size && path[in] == _pathSeparator) {
            ++in;
        }
        if (in == size) {
            break;
        }
        const std::size_t start = in;
        while (in < size && path[in] != _pathSeparator) {
            ++in;
        }
        const std::size_t length = in - start;
        if (path.compare(start, length, sameDirToken) == 0) {
            continue;
        }
        if (path.compare(start, length, upDirToken) == 0) {
            if (out > base) {
                --out; // the separator after the top component
                while (out > base && path[out - 1] != _pathSeparator) {
                    --out;
                }
            }
            continue;
        }
        if (out != start) {
            std::memmove(&path[out], &path[start], length);
        }
        out += length;
        if (out < size) {
            path[out] = _pathSeparator;
        } else {
            path.push_back(_pathSeparator);
        }
        ++out;
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
