// The path normaliser, the directory walk, the atomic save and the removal of a tree written by
// hand with the platform calls: the "raw" variants of bench/DirBench.cpp, bench/FilesBench.cpp and
// the peer benchmarks, so that all of them measure against the same code.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace OstrelBench {

// The normalisation written by hand for this one job: one pass over the text in place, with
// pointers and character literals; the figure that fixProp is held to.
inline void normalizeByHand(std::string& text) {
    if (text.empty()) {
        return;
    }
    char* const begin = &text[0];
    char* const end = begin + text.size();
    char* const root = begin + (*begin == '/' ? 1 : 0);
    char* out = root;
    for (char* in = root; in != end;) {
        if (*in == '/') {
            ++in;
            continue;
        }
        char* const start = in;
        while (in != end && *in != '/') {
            ++in;
        }
        const std::size_t n = static_cast<std::size_t>(in - start);
        if (n == 1 && start[0] == '.') {
            continue;
        }
        if (n == 2 && start[0] == '.' && start[1] == '.') {
            if (out != root) {
                for (--out; out != root && out[-1] != '/'; --out) {
                }
            }
            continue;
        }
        if (out != start) {
            std::memmove(out, start, n);
        }
        out += n;
        if (out == end) {
            text.push_back('/');
            return;
        }
        *out++ = '/';
    }
    text.resize(static_cast<std::size_t>(out - begin));
}

// A record of getdents64, which the C library does not declare.
struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// Appends to found the entries below parent/name (depth first, in the order getdents64 returns
// them) whose names match pattern (fnmatch, no flags), as prefix + their path below name; the
// type comes from d_type alone. prefix ends in a separator and is left as it was given.
inline void rawWalk(int parent, const char* name, const char* pattern, std::string& prefix,
                    std::vector<std::string>& found) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const std::size_t length = prefix.size();
    alignas(8) char buffer[32768];
    for (;;) {
        const long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (long pos = 0; pos < n;) {
            const auto* e = reinterpret_cast<const LinuxDirent64*>(buffer + pos);
            pos += e->d_reclen;
            const char* entry = e->d_name;
            if (e->d_type == DT_DIR) {
                if (entry[0] == '.' &&
                    (entry[1] == '\0' || (entry[1] == '.' && entry[2] == '\0'))) {
                    continue;
                }
                prefix.resize(length);
                prefix += entry;
                prefix += '/';
                rawWalk(fd, entry, pattern, prefix, found);
            } else if (fnmatch(pattern, entry, 0) == 0) {
                prefix.resize(length);
                prefix += entry;
                found.push_back(prefix);
            }
        }
    }
    prefix.resize(length);
    close(fd);
}

// The atomic save a careful hand writes, error checks left out: an unnamed file (O_TMPFILE) in
// the directory dirPath, the data written (and flushed when sync), linked to the hidden name
// "." + name + ".tmp" through /proc/self/fd, renamed over name, and the directory flushed (when
// sync) so that the new name survives a crash of the system. It needs a file system with O_TMPFILE
// and /proc mounted; elsewhere nothing is saved (the peer benchmarks' check then fails).
inline void atomicWriteByHand(const char* dirPath, const std::string& name, const std::string& data,
                              bool sync) {
    const int dir = open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    const ssize_t written = write(fd, data.data(), data.size());
    static_cast<void>(written);
    if (sync) {
        fsync(fd);
    }
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const std::string hidden = "." + name + ".tmp";
    linkat(AT_FDCWD, link, dir, hidden.c_str(), AT_SYMLINK_FOLLOW);
    renameat(dir, hidden.c_str(), dir, name.c_str());
    close(fd);
    if (sync) {
        fsync(dir);
    }
    close(dir);
}

// Makes the directory root holding middles directories of leaves directories of files empty
// files each, error checks left out; treeEntries(...) counts what it makes, root included.
inline void makeTree(const std::string& root, int middles, int leaves, int files) {
    mkdir(root.c_str(), 0755);
    const int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < middles; ++i) {
        const std::string middle = "d" + std::to_string(i);
        mkdirat(rootFd, middle.c_str(), 0755);
        const int middleFd = openat(rootFd, middle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int j = 0; j < leaves; ++j) {
            const std::string leaf = "e" + std::to_string(j);
            mkdirat(middleFd, leaf.c_str(), 0755);
            const int leafFd = openat(middleFd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            for (int k = 0; k < files; ++k) {
                close(openat(leafFd, ("f" + std::to_string(k)).c_str(),
                             O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            }
            close(leafFd);
        }
        close(middleFd);
    }
    close(rootFd);
}

constexpr unsigned long treeEntries(unsigned long middles, unsigned long leaves,
                                    unsigned long files) {
    return 1 + middles + middles * leaves + middles * leaves * files;
}

// The removal by hand: depth first through descriptors, unlinkat of each entry, no link followed.
// Returns the entries removed, name included.
inline unsigned long removeByHand(int parent, const char* name) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return unlinkat(parent, name, 0) == 0 ? 1 : 0;
    }
    DIR* const dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return 0;
    }
    unsigned long removed = 1;
    while (const dirent* entry = readdir(dir)) {
        const char* const entryName = entry->d_name;
        if (entryName[0] == '.' &&
            (entryName[1] == '\0' || (entryName[1] == '.' && entryName[2] == '\0'))) {
            continue;
        }
        if (entry->d_type == DT_DIR) {
            removed += removeByHand(dirfd(dir), entryName);
        } else if (unlinkat(dirfd(dir), entryName, 0) == 0) {
            ++removed;
        }
    }
    closedir(dir);
    unlinkat(parent, name, AT_REMOVEDIR);
    return removed;
}

} // namespace OstrelBench
