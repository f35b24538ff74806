// Files.h: AtomicFile::write of 4 KiB against the platform calls it stands for (an unnamed
// O_TMPFILE file, write, fsync, a link to a hidden name, rename, fsync of the directory), on the
// disk of the working directory and in memory (/dev/shm, where fsync costs next to nothing, so
// that the code's own cost shows), and the hand-written sequence without its two fsyncs; and
// removeAll of 100,000 files in 2,040 directories (in memory) against a hand-written
// openat/unlinkat walk, std::filesystem::remove_all and the rm -rf program.
#include <Ostrel/Files.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <ctime>

#include <dirent.h>
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

// The sequence a careful hand writes, error checks left out.
template <bool sync> void atomicWriteRaw(benchmark::State& state) {
    const char* const dirPath = directoryOf(state);
    for (auto _ : state) {
        const int dir = open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        benchmark::DoNotOptimize(write(fd, data.data(), data.size()));
        if (sync) {
            fsync(fd);
        }
        char link[32];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        linkat(AT_FDCWD, link, dir, ".file.tmp", AT_SYMLINK_FOLLOW);
        renameat(dir, ".file.tmp", dir, "file");
        close(fd);
        if (sync) {
            fsync(dir);
        }
        close(dir);
    }
}

// 40 directories of 50 directories of 50 files each.
void makeTree(const std::string& root) {
    mkdir(root.c_str(), 0755);
    const int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < 40; ++i) {
        const std::string middle = "d" + std::to_string(i);
        mkdirat(rootFd, middle.c_str(), 0755);
        const int middleFd = openat(rootFd, middle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int j = 0; j < 50; ++j) {
            const std::string leaf = "e" + std::to_string(j);
            mkdirat(middleFd, leaf.c_str(), 0755);
            const int leafFd = openat(middleFd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            for (int k = 0; k < 50; ++k) {
                close(openat(leafFd, ("f" + std::to_string(k)).c_str(),
                             O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            }
            close(leafFd);
        }
        close(middleFd);
    }
    close(rootFd);
}

constexpr unsigned long treeEntries = 1 + 40 + 40 * 50 + 40 * 50 * 50;

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

// The walk by hand: depth first through descriptors, unlinkat of each entry, no link followed.
unsigned long removeRaw(int parent, const char* name) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* const dir = fdopendir(fd);
    unsigned long removed = 1;
    while (const dirent* entry = readdir(dir)) {
        const char* const entryName = entry->d_name;
        if (entryName[0] == '.' &&
            (entryName[1] == '\0' || (entryName[1] == '.' && entryName[2] == '\0'))) {
            continue;
        }
        if (entry->d_type == DT_DIR) {
            removed += removeRaw(dirfd(dir), entryName);
        } else if (unlinkat(dirfd(dir), entryName, 0) == 0) {
            ++removed;
        }
    }
    closedir(dir);
    unlinkat(parent, name, AT_REMOVEDIR);
    return removed;
}

void removeAllRaw(benchmark::State& state) {
    timeRemoval(state, [](const std::string& root) { return removeRaw(AT_FDCWD, root.c_str()); });
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
