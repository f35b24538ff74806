// Dir: normalisation against a hand-written one-pass normaliser and std::filesystem, and the
// recursive scan (scan, and scanWith with its options) against the std iterator, a hand-written
// getdents64 walk and the find program.
#include <Ostrel/Dir.h>

#include "AllocCount.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Paths as programs build them: installed prefixes, a locator's climbs from its executable,
// relative ones, doubled separators and long component names.
const char* const fixInputs[] = {
    "/usr/local/lib/",
    "/home/user/./projects/../work/src/./ostrel/../../build/./lib/x/../y/",
    "a//b///c//d////e//f/",
    "/opt/app/bin/prog/../../lib/",
    "/usr/lib/x86_64-linux-gnu/../../share/icons/hicolor/48x48/apps/",
    "./src/../include/Ostrel/",
    "/var/lib/containers/storage/overlay/3f1c5e0d9b2a7c64e8f1/merged/usr/lib/",
    "../../a/./b/../c/",
};
const char* const fixNames[] = {"short",    "long",     "doubled",  "locator",
                                "climbing", "relative", "longname", "dotted"};
constexpr int fixLast = static_cast<int>(sizeof fixInputs / sizeof fixInputs[0]) - 1;

void fixOstrel(benchmark::State& state) {
    const std::string input = fixInputs[state.range(0)];
    Ostrel::Dir dir;
    dir.path.reserve(256);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        dir.path.assign(input);
        dir.fixProp(Ostrel::Dir::Normalize);
        benchmark::DoNotOptimize(dir.path.data());
    }
    state.SetLabel(fixNames[state.range(0)]);
}

// The first '/' in [from, end), or end: a look at the first bytes, which is where the next
// separator of a usual component is, and memchr past them, which wins on a long component
// (memchr alone pays its call and set-up for every short one).
inline char* nextSeparator(char* from, char* end) {
    char* const near = end - from > 16 ? from + 16 : end;
    for (; from != near; ++from) {
        if (*from == '/') {
            return from;
        }
    }
    if (from == end) {
        return end;
    }
    void* const found = std::memchr(from, '/', static_cast<std::size_t>(end - from));
    return found != nullptr ? static_cast<char*>(found) : end;
}

// The normalisation written by hand for this one job, as tight as it goes: one scan over the text
// in place with pointers; "." and ".." recognised by their first bytes without a search; a
// component that stays where it is is not copied; the only allocation is the one separator a
// last component may need. The figure that fixProp is held to.
inline void normalizeByHand(std::string& text) {
    if (text.empty()) {
        return;
    }
    char* const begin = &text[0];
    char* const end = begin + text.size();
    char* const root = begin + (*begin == '/' ? 1 : 0);
    char* out = root;
    char* in = root;
    while (in != end) {
        if (*in == '/') {
            ++in;
            continue;
        }
        if (*in == '.') {
            char* const next = in + 1;
            if (next == end || *next == '/') {
                in = next;
                continue;
            }
            if (*next == '.' && (next + 1 == end || next[1] == '/')) {
                if (out != root) {
                    for (--out; out != root && out[-1] != '/'; --out) {
                    }
                }
                in = next + 1;
                continue;
            }
        }
        char* const stop = nextSeparator(in, end);
        if (stop == end) {
            if (out == in) {
                text.push_back('/');
                return;
            }
            std::memmove(out, in, static_cast<std::size_t>(end - in));
            out += end - in;
            *out++ = '/';
            break;
        }
        const auto length = static_cast<std::size_t>(stop + 1 - in);
        if (out != in) {
            std::memmove(out, in, length);
        }
        out += length;
        in = stop + 1;
    }
    text.resize(static_cast<std::size_t>(out - begin));
}

void fixRaw(benchmark::State& state) {
    const std::string input = fixInputs[state.range(0)];
    std::string text;
    text.reserve(256);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        text.assign(input);
        normalizeByHand(text);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetLabel(fixNames[state.range(0)]);
}

// The re-assignment alone, to subtract from the ostrel figure.
void fixAssign(benchmark::State& state) {
    const std::string input = fixInputs[state.range(0)];
    std::string text;
    text.reserve(256);
    for (auto _ : state) {
        text.assign(input);
        benchmark::DoNotOptimize(text.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(fixNames[state.range(0)]);
}

void fixStd(benchmark::State& state) {
    const std::filesystem::path input = fixInputs[state.range(0)];
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        auto result = input.lexically_normal();
        benchmark::DoNotOptimize(result.native().data());
    }
    state.SetLabel(fixNames[state.range(0)]);
}

BENCHMARK(fixRaw)->Name("FixProp/raw")->DenseRange(0, fixLast);
BENCHMARK(fixOstrel)->Name("FixProp/ostrel")->DenseRange(0, fixLast);
BENCHMARK(fixAssign)->Name("FixProp/assign")->DenseRange(0, fixLast);
BENCHMARK(fixStd)->Name("FixProp/std")->DenseRange(0, fixLast);

// The tree: 40 directories of 49 sub-directories each (2,000 directories), 50 files in every
// one (100,000 files), one in ten of them matching the pattern. Empty until a scan needs it.
std::string treeRoot;
const char* const pattern = "*.png";

void makeTree() {
    char templ[] = "/tmp/ostrel-dirbench-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    treeRoot = templ;
    std::vector<std::string> dirs;
    for (int top = 0; top < 40; ++top) {
        const std::string t = treeRoot + "/t" + std::to_string(top);
        dirs.push_back(t);
        for (int sub = 0; sub < 49; ++sub) {
            dirs.push_back(t + "/s" + std::to_string(sub));
        }
    }
    for (const auto& d : dirs) {
        mkdir(d.c_str(), 0755);
        for (int f = 0; f < 50; ++f) {
            const std::string name = d + "/f" + std::to_string(f) + (f % 10 == 0 ? ".png" : ".txt");
            close(open(name.c_str(), O_CREAT | O_WRONLY, 0644));
        }
    }
}

// The root of the tree, made and read once (a warm cache) by the first benchmark that scans it:
// a run of the normalisation benchmarks alone does not wait for 100,000 files.
const std::string& tree() {
    if (treeRoot.empty()) {
        makeTree();
        Ostrel::Dir(treeRoot).scan(pattern, true);
    }
    return treeRoot;
}

void scanOstrel(benchmark::State& state) {
    Ostrel::Dir dir(tree());
    for (auto _ : state) {
        auto found = dir.scan(pattern, true);
        benchmark::DoNotOptimize(found.data());
        if (found.size() != 10000) {
            state.SkipWithError("wrong count");
        }
    }
}

// scanWith with the options of each variant; the defaults walk what scan walks.
template <bool sorted, bool resolveUnknown> void scanWithOstrel(benchmark::State& state) {
    const Ostrel::Dir dir(tree());
    Ostrel::Dir::ScanOptions options;
    options.sorted = sorted;
    options.resolveUnknown = resolveUnknown;
    for (auto _ : state) {
        auto found = dir.scanWith(pattern, options);
        benchmark::DoNotOptimize(found.data());
        if (found.size() != 10000) {
            state.SkipWithError("wrong count");
        }
    }
}

void scanStd(benchmark::State& state) {
    const std::string& root = tree();
    for (auto _ : state) {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (entry.is_directory()) {
                continue;
            }
            if (fnmatch(pattern, entry.path().filename().c_str(), 0) == 0) {
                found.push_back(entry.path().native());
            }
        }
        benchmark::DoNotOptimize(found.data());
        if (found.size() != 10000) {
            state.SkipWithError("wrong count");
        }
    }
}

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

void rawWalk(int parent, const char* name, std::string& prefix, std::vector<std::string>& found) {
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
                rawWalk(fd, entry, prefix, found);
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

void scanRaw(benchmark::State& state) {
    const std::string& root = tree();
    for (auto _ : state) {
        std::vector<std::string> found;
        std::string prefix = root + "/";
        rawWalk(AT_FDCWD, root.c_str(), prefix, found);
        benchmark::DoNotOptimize(found.data());
        if (found.size() != 10000) {
            state.SkipWithError("wrong count");
        }
    }
}

// find as a whole process, its output thrown away.
void scanFind(benchmark::State& state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string root = tree();
    char* argv[] = {const_cast<char*>("find"), root.data(), const_cast<char*>("-name"),
                    const_cast<char*>(pattern), nullptr};
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawnp(&pid, "find", &actions, nullptr, argv, environ) != 0) {
            state.SkipWithError("no find");
            break;
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

BENCHMARK(scanOstrel)->Name("Scan/ostrel")->Unit(benchmark::kMillisecond);
BENCHMARK(scanWithOstrel<false, false>)->Name("Scan/scanWith")->Unit(benchmark::kMillisecond);
BENCHMARK(scanWithOstrel<true, false>)->Name("Scan/scanWith_sorted")->Unit(benchmark::kMillisecond);
BENCHMARK(scanWithOstrel<false, true>)
    ->Name("Scan/scanWith_unknown")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(scanStd)->Name("Scan/std")->Unit(benchmark::kMillisecond);
BENCHMARK(scanRaw)->Name("Scan/raw")->Unit(benchmark::kMillisecond);
BENCHMARK(scanFind)->Name("Scan/find")->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!treeRoot.empty()) {
        std::filesystem::remove_all(treeRoot);
    }
    return 0;
}
