// ostrel run of a child against the child run by the raw calls ("raw") and by timeout(1)
// ("timeout", where installed): what the tool adds to a child's run (its own start, the signals
// it catches, the process descriptor, the wait), without a limit and with a 10 ms limit that
// ends a 20 ms sleeper. Standard error goes to /dev/null (the tool's "timed out" line). The
// counter childCpuUs is the processor time of the child and, but for raw, the tool running it.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

// Spawns words with standard error on /dev/null; -1 when the program is not there.
class Spawner {
public:
    explicit Spawner(std::vector<std::string> words) : _words(std::move(words)) {
        for (auto& word : _words) {
            _argv.push_back(word.data());
        }
        _argv.push_back(nullptr);
        posix_spawn_file_actions_init(&_actions);
        posix_spawn_file_actions_addopen(&_actions, 2, "/dev/null", O_WRONLY, 0);
    }
    ~Spawner() { posix_spawn_file_actions_destroy(&_actions); }
    Spawner(const Spawner&) = delete;
    Spawner& operator=(const Spawner&) = delete;

    bool there() const { return !_words[0].empty() && access(_argv[0], X_OK) == 0; }
    pid_t spawn() {
        pid_t pid = -1;
        return posix_spawn(&pid, _argv[0], &_actions, nullptr, _argv.data(), environ) == 0 ? pid
                                                                                           : -1;
    }

private:
    std::vector<std::string> _words;
    std::vector<char*> _argv;
    posix_spawn_file_actions_t _actions;
};

// The processor time that reaped children have used so far, in microseconds.
double childrenCpuUs() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Reports the children's processor time per iteration since start as the counter "childCpuUs":
// the cost of the tool and its child, which the load of the machine hardly changes.
void reportChildrenCpu(benchmark::State& state, double start) {
    state.counters["childCpuUs"] =
        benchmark::Counter(childrenCpuUs() - start, benchmark::Counter::kAvgIterations);
}

int reap(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// Runs words and waits for it, once per iteration.
void spawnWait(benchmark::State& state, std::vector<std::string> words) {
    Spawner spawner(std::move(words));
    if (!spawner.there()) {
        state.SkipWithError("the program is not there");
        return;
    }
    const double start = childrenCpuUs();
    for (auto _ : state) {
        benchmark::DoNotOptimize(reap(spawner.spawn()));
    }
    reportChildrenCpu(state, start);
}

// The raw sequence of a limit that expires: spawn, a process descriptor, poll for 10 ms, SIGTERM,
// reap.
void limitRaw(benchmark::State& state) {
    Spawner spawner({"/bin/sleep", "0.02"});
    const double start = childrenCpuUs();
    for (auto _ : state) {
        const pid_t pid = spawner.spawn();
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 10) == 0) {
            kill(pid, SIGTERM);
        }
        close(fd);
        benchmark::DoNotOptimize(reap(pid));
    }
    reportChildrenCpu(state, start);
}

} // namespace

BENCHMARK_CAPTURE(spawnWait, raw, {"/bin/true"})->Name("RunTrue/raw")->UseRealTime();
BENCHMARK_CAPTURE(spawnWait, ostrel, {OSTREL_TOOL, "run", "/bin/true"})
    ->Name("RunTrue/ostrel")
    ->UseRealTime();
BENCHMARK_CAPTURE(spawnWait, timeout, {"/usr/bin/timeout", "0", "/bin/true"})
    ->Name("RunTrue/timeout")
    ->UseRealTime();
BENCHMARK(limitRaw)->Name("RunLimitExpires/raw")->UseRealTime();
BENCHMARK_CAPTURE(spawnWait, ostrel, {OSTREL_TOOL, "run", "--timeout", "10", "/bin/sleep", "0.02"})
    ->Name("RunLimitExpires/ostrel")
    ->UseRealTime();
BENCHMARK_CAPTURE(spawnWait, timeout, {"/usr/bin/timeout", "0.01", "/bin/sleep", "0.02"})
    ->Name("RunLimitExpires/timeout")
    ->UseRealTime();

BENCHMARK_MAIN();
