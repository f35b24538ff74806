// Files.h: AtomicFile::write of 4 KiB against the platform calls it stands for (an unnamed
// O_TMPFILE file, write, fsync, a link to a hidden name, rename, fsync of the directory), on the
// disk of the working directory and in memory (/dev/shm, where fsync costs next to nothing, so
// that the code's own cost shows), and the hand-written sequence without its two fsyncs; and
// removeAll of 100,000 files in 2,040 directories (in memory) against a hand-written
// openat/unlinkat walk, std::filesystem::remove_all and the rm -rf program.
#include <Ostrel/Files.h>

#include "RawFiles.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <ctime>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const std::string data(4096, 'x');

// A fresh directory below base, removed at the end of the program.
std::string scratchDirectory(const char* base) {
    std::string pattern = std::string(base) + "/ostrel-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror(base);
        std::exit(1);
    }
    return pattern;
}

const std::string diskDir = scratchDirectory(".");
const std::string memoryDir = scratchDirectory(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ".");

const char* directoryOf(benchmark::State& state) {
    return (state.range(0) == 0 ? diskDir : memoryDir).c_str();
}

void atomicWriteOstrel(benchmark::State& state) {
    const std::string path = std::string(directoryOf(state)) + "/file";
    for (auto _ : state) {
        Ostrel::AtomicFile::write(path, data);
    }
}

// The sequence of bench/RawFiles.h, with or without its two fsyncs.
template <bool sync> void atomicWriteRaw(benchmark::State& state) {
    const char* const dirPath = directoryOf(state);
    for (auto _ : state) {
        OstrelBench::atomicWriteByHand(dirPath, "file", data, sync);
    }
}

// 40 directories of 50 directories of 50 files each.
void makeTree(const std::string& root) {
    OstrelBench::makeTree(root, 40, 50, 50);
}

constexpr unsigned long treeEntries = OstrelBench::treeEntries(40, 50, 50);

double secondsOf(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Builds the tree, then times remove(root), which returns the entries removed; the counter
// cpu_ms is the processor time of the calling thread (zero for rm, which runs in a child), less
// disturbed than the real time by other jobs on the machine.
template <class Remove> void timeRemoval(benchmark::State& state, Remove remove) {
    const std::string root = memoryDir + "/tree";
    double cpu = 0;
    for (auto _ : state) {
        makeTree(root);
        const double start = secondsOf(CLOCK_MONOTONIC),
                     startCpu = secondsOf(CLOCK_THREAD_CPUTIME_ID);
        const unsigned long removed = remove(root);
        cpu += secondsOf(CLOCK_THREAD_CPUTIME_ID) - startCpu;
        state.SetIterationTime(secondsOf(CLOCK_MONOTONIC) - start);
        if (removed != treeEntries && removed != 0) {
            state.SkipWithError("wrong count");
        }
    }
    state.counters["cpu_ms"] = benchmark::Counter(cpu * 1000, benchmark::Counter::kAvgIterations);
}

void removeAllOstrel(benchmark::State& state) {
    timeRemoval(state, [](const std::string& root) { return Ostrel::removeAll(root); });
}

void removeAllRaw(benchmark::State& state) {
    timeRemoval(state, [](const std::string& root) {
        return OstrelBench::removeByHand(AT_FDCWD, root.c_str());
    });
}

void removeAllStd(benchmark::State& state) {
    timeRemoval(state, [](const std::string& root) {
        return static_cast<unsigned long>(std::filesystem::remove_all(root));
    });
}

// rm -rf as a whole process.
void removeAllRm(benchmark::State& state) {
    timeRemoval(state, [](const std::string& root) {
        char* argv[] = {const_cast<char*>("rm"), const_cast<char*>("-rf"),
                        const_cast<char*>(root.c_str()), nullptr};
        pid_t pid = 0;
        int status = 0;
        if (posix_spawnp(&pid, "rm", nullptr, nullptr, argv, environ) == 0) {
            waitpid(pid, &status, 0);
        }
        return 0UL;
    });
}

BENCHMARK(atomicWriteRaw<true>)->Name("AtomicWrite4KiB/raw")->Arg(0);
BENCHMARK(atomicWriteOstrel)->Name("AtomicWrite4KiB/ostrel")->Arg(0);
BENCHMARK(atomicWriteRaw<false>)->Name("AtomicWrite4KiB/raw_nosync")->Arg(0);
BENCHMARK(atomicWriteRaw<true>)->Name("AtomicWrite4KiBMemory/raw")->Arg(1);
BENCHMARK(atomicWriteOstrel)->Name("AtomicWrite4KiBMemory/ostrel")->Arg(1);
BENCHMARK(atomicWriteRaw<false>)->Name("AtomicWrite4KiBMemory/raw_nosync")->Arg(1);
BENCHMARK(removeAllRaw)
    ->Name("RemoveAll100k/raw")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(removeAllOstrel)
    ->Name("RemoveAll100k/ostrel")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(removeAllStd)
    ->Name("RemoveAll100k/std")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(removeAllRm)
    ->Name("RemoveAll100k/rm")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Ostrel::removeAll(diskDir);
    Ostrel::removeAll(memoryDir);
    return 0;
}
