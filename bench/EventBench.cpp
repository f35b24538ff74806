// FileWatcher and SignalSet against hand-written inotify and sigaction + pipe code:
// - 10,000 files created in a watched directory and every event taken (creation and taking
//   timed), and the taking alone (the files made with the timer paused);
// - the latency from a write by another thread to the event in a poll loop (median of 100);
// - 10,000 SIGUSR1 sent by another process one at a time, each after the previous was taken,
//   every record checked for the sender's id.
#include <Ostrel/FileWatcher.h>
#include <Ostrel/SignalSet.h>

#include "AllocCount.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int files = 10000;
// The buffer and the watch mask of the watcher.
constexpr std::size_t bufferSize = 16384;
constexpr std::uint32_t mask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                               IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                               IN_EXCL_UNLINK;

// A fresh directory on tmpfs (/dev/shm), so that the disk does not drown what is measured;
// removed with its files.
struct Scratch {
    Scratch() {
        char pattern[] = "/dev/shm/ostrel-bench-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Scratch() { std::system(("rm -rf " + path).c_str()); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string name(int i) const { return path + "/f" + std::to_string(i); }
    std::string path;
};

void makeFiles(const Scratch& dir) {
    for (int i = 0; i < files; ++i) {
        close(open(dir.name(i).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    }
}

void removeFiles(const Scratch& dir) {
    for (int i = 0; i < files; ++i) {
        unlink(dir.name(i).c_str());
    }
}

// The kind of a raw event as FileWatcher names it.
Ostrel::FileWatcher::Kind kindOf(std::uint32_t bits) {
    return (bits & IN_CREATE) != 0   ? Ostrel::FileWatcher::Created
           : (bits & IN_DELETE) != 0 ? Ostrel::FileWatcher::Deleted
           : (bits & IN_MODIFY) != 0 ? Ostrel::FileWatcher::Modified
                                     : Ostrel::FileWatcher::AttributesChanged;
}

// The hand-written loop: reads until count Created were seen, each read's events kept as the
// watcher's take returns them (kind, path, directory), then dropped.
int rawTake(int fd, const std::string& dir, int count) {
    alignas(inotify_event) static char buffer[bufferSize];
    std::vector<Ostrel::FileWatcher::Event> events;
    int created = 0;
    while (created < count) {
        const ssize_t length = read(fd, buffer, sizeof buffer);
        if (length <= 0) {
            pollfd ready{fd, POLLIN, 0};
            poll(&ready, 1, 1000);
            continue;
        }
        events.clear();
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            events.push_back({kindOf(event->mask), dir + "/" + event->name, std::string(),
                              (event->mask & IN_ISDIR) != 0});
            created += events.back().kind == Ostrel::FileWatcher::Created ? 1 : 0;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        benchmark::DoNotOptimize(events.data());
    }
    return created;
}

void rawDrain(int fd) {
    alignas(inotify_event) static char buffer[bufferSize];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

int ostrelTake(Ostrel::FileWatcher& watcher, int count) {
    int created = 0;
    while (created < count) {
        const auto events = watcher.waitFor(1000);
        for (const auto& event : events) {
            created += event.kind == Ostrel::FileWatcher::Created ? 1 : 0;
        }
        benchmark::DoNotOptimize(events.data());
    }
    return created;
}

void ostrelDrain(Ostrel::FileWatcher& watcher) {
    while (!watcher.take().empty()) {
    }
}

template <bool timeCreation> void watchRaw(benchmark::State& state) {
    const Scratch dir;
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(fd, dir.path.c_str(), mask);
    for (auto _ : state) {
        if (!timeCreation) {
            state.PauseTiming();
        }
        makeFiles(dir);
        if (!timeCreation) {
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(rawTake(fd, dir.path, files));
        state.PauseTiming();
        removeFiles(dir);
        rawDrain(fd);
        state.ResumeTiming();
    }
    close(fd);
}

template <bool timeCreation> void watchOstrel(benchmark::State& state) {
    const Scratch dir;
    Ostrel::FileWatcher watcher;
    watcher.add(dir.path);
    for (auto _ : state) {
        if (!timeCreation) {
            state.PauseTiming();
        }
        makeFiles(dir);
        if (!timeCreation) {
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(ostrelTake(watcher, files));
        state.PauseTiming();
        removeFiles(dir);
        ostrelDrain(watcher);
        state.ResumeTiming();
    }
}

// The latency from a write by another thread to the event taken in a poll loop, as the manual
// time of each iteration; the median of the runs as the counter "medianUs".
template <class Loop>
void latency(benchmark::State& state, const Scratch& dir, Loop takeOne, int pollFd) {
    const std::string file = dir.path + "/f";
    const int writeFd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    takeOne(); // its Created
    std::atomic<int> go{0};
    std::atomic<long long> wroteAt{0};
    std::thread writer([&] {
        for (int run = 1;; ++run) {
            while (go.load() >= 0 && go.load() < run) {
                std::this_thread::yield();
            }
            if (go.load() < 0) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200)); // the loop sleeps in poll
            wroteAt = std::chrono::steady_clock::now().time_since_epoch().count();
            (void)!write(writeFd, "x", 1);
        }
    });
    std::vector<double> runs;
    for (auto _ : state) {
        go.fetch_add(1);
        pollfd ready{pollFd, POLLIN, 0};
        poll(&ready, 1, 5000);
        takeOne();
        const long long now = std::chrono::steady_clock::now().time_since_epoch().count();
        runs.push_back(static_cast<double>(now - wroteAt.load()) * 1e-9);
        state.SetIterationTime(runs.back());
    }
    go = -1;
    writer.join();
    close(writeFd);
    std::nth_element(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(runs.size() / 2),
                     runs.end());
    state.counters["medianUs"] = runs.empty() ? 0 : runs[runs.size() / 2] * 1e6;
}

void latencyRaw(benchmark::State& state) {
    const Scratch dir;
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(fd, dir.path.c_str(), mask);
    alignas(inotify_event) static char buffer[bufferSize];
    latency(
        state, dir, [&] { (void)!read(fd, buffer, sizeof buffer); }, fd);
    close(fd);
}

void latencyOstrel(benchmark::State& state) {
    const Scratch dir;
    Ostrel::FileWatcher watcher;
    watcher.add(dir.path);
    latency(
        state, dir, [&] { benchmark::DoNotOptimize(watcher.take()); }, watcher.fd());
}

// The raw handler: the same record to the same kind of pipe.
struct Record {
    int signal;
    pid_t senderId;
    uid_t senderUser;
};
int rawWriteFd = -1;
void rawHandler(int number, siginfo_t* info, void*) {
    const int saved = errno;
    const Record record{number, info->si_pid, info->si_uid};
    (void)!write(rawWriteFd, &record, sizeof record);
    errno = saved;
}

// A child that sends SIGUSR1 to its parent each time it reads a byte from the parent, until the
// pipe closes.
struct Sender {
    Sender() {
        int ends[2];
        (void)!pipe2(ends, O_CLOEXEC);
        const pid_t parent = getpid();
        pid = fork();
        if (pid == 0) {
            close(ends[1]);
            char byte;
            while (read(ends[0], &byte, 1) == 1) {
                kill(parent, SIGUSR1);
            }
            _exit(0);
        }
        close(ends[0]);
        ack = ends[1];
    }
    ~Sender() {
        close(ack);
        waitpid(pid, nullptr, 0);
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    void next() const { (void)!write(ack, "", 1); }
    pid_t pid;
    int ack;
};

void signalsRaw(benchmark::State& state) {
    int ends[2];
    (void)!pipe2(ends, O_CLOEXEC | O_NONBLOCK);
    rawWriteFd = ends[1];
    struct sigaction action {
    }, earlier{};
    action.sa_sigaction = rawHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(SIGUSR1, &action, &earlier);
    long wrong = 0;
    {
        const Sender sender;
        for (auto _ : state) {
            sender.next();
            Record record{};
            while (read(ends[0], &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
                pollfd ready{ends[0], POLLIN, 0};
                poll(&ready, 1, 5000);
            }
            wrong += record.senderId != sender.pid ? 1 : 0;
        }
    }
    sigaction(SIGUSR1, &earlier, nullptr);
    close(ends[0]);
    close(ends[1]);
    if (wrong != 0) {
        state.SkipWithError("a record with the wrong sender");
    }
}

void signalsOstrel(benchmark::State& state) {
    long wrong = 0;
    {
        Ostrel::SignalSet set({SIGUSR1});
        const Sender sender;
        OstrelBench::AllocCounter allocs(state);
        for (auto _ : state) {
            sender.next();
            wrong += set.wait().senderId != sender.pid ? 1 : 0;
        }
    }
    if (wrong != 0) {
        state.SkipWithError("a record with the wrong sender");
    }
}

} // namespace

BENCHMARK(watchRaw<true>)
    ->Name("WatchCreate10000/raw")
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(watchOstrel<true>)
    ->Name("WatchCreate10000/ostrel")
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(watchRaw<false>)
    ->Name("WatchTake10000/raw")
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(watchOstrel<false>)
    ->Name("WatchTake10000/ostrel")
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(latencyRaw)
    ->Name("WatchLatency/raw")
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(100);
BENCHMARK(latencyOstrel)
    ->Name("WatchLatency/ostrel")
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(100);
BENCHMARK(signalsRaw)->Name("SignalRoundTrip/raw")->UseRealTime()->Iterations(10000);
BENCHMARK(signalsOstrel)->Name("SignalRoundTrip/ostrel")->UseRealTime()->Iterations(10000);

BENCHMARK_MAIN();
