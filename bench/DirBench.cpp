// Dir: normalisation against a hand-written one-pass normaliser and std::filesystem, and the
// recursive scan (scan, and scanWith with its options) against the std iterator, a hand-written
// getdents64 walk and the find program.
#include <Ostrel/Dir.h>

#include "AllocCount.h"
#include "RawFiles.h"

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

const char* const fixInputs[] = {
    "/usr/local/lib/",
    "/home/user/./projects/../work/src/./ostrel/../../build/./lib/x/../y/",
    "a//b///c//d////e//f/",
};
const char* const fixNames[] = {"short", "long", "doubled"};

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

void fixRaw(benchmark::State& state) {
    const std::string input = fixInputs[state.range(0)];
    std::string text;
    text.reserve(256);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        text.assign(input);
        OstrelBench::normalizeByHand(text);
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

BENCHMARK(fixRaw)->Name("FixProp/raw")->DenseRange(0, 2);
BENCHMARK(fixOstrel)->Name("FixProp/ostrel")->DenseRange(0, 2);
BENCHMARK(fixAssign)->Name("FixProp/assign")->DenseRange(0, 2);
BENCHMARK(fixStd)->Name("FixProp/std")->DenseRange(0, 2);

// The tree: 40 directories of 49 sub-directories each (2,000 directories), 50 files in every
// one (100,000 files), one in ten of them matching the pattern.
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

void scanOstrel(benchmark::State& state) {
    Ostrel::Dir dir(treeRoot);
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
    const Ostrel::Dir dir(treeRoot);
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
    for (auto _ : state) {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(treeRoot)) {
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

void scanRaw(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::string> found;
        std::string prefix = treeRoot + "/";
        OstrelBench::rawWalk(AT_FDCWD, treeRoot.c_str(), pattern, prefix, found);
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
    std::string root = treeRoot;
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
    makeTree();
    // Warm the cache once before measuring.
    Ostrel::Dir(treeRoot).scan(pattern, true);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(treeRoot);
    return 0;
}
