// The path normaliser and the directory walk written by hand with the platform calls: the "raw"
// variant of bench/DirBench.cpp and of the peer benchmarks, so that both measure against the same
// code.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
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

} // namespace OstrelBench
