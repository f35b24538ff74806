// Thread start+join of an empty body, Process start+join and Command start+wait of /bin/true,
// against the same sequences written with the raw calls (fork and exec for Process, posix_spawn
// for Command), also from a parent with 256 MiB of touched memory, where fork pays for copying
// the page tables and posix_spawn does not; Command through its own launcher (dieWithParent)
// against posix_spawn; what Child::waitFor costs the waiting thread while a child sleeps; and
// Child::communicate moving 64 MiB through cat, or a mebibyte on each of standard output and
// error, against a hand-written poll loop over the same pipes with the same 64 KiB buffer.
#include <Ostrel/Command.h>
#include <Ostrel/Process.h>
#include <Ostrel/Thread.h>

#include "AllocCount.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

extern char** environ;

namespace {

class Empty : public Ostrel::Thread {
public:
    int main() override { return 0; }
};

void* rawBody(void*) {
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    return nullptr;
}

void threadStartJoinRaw(benchmark::State& state) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        pthread_t id;
        pthread_create(&id, &attr, rawBody, nullptr);
        void* result = nullptr;
        pthread_join(id, &result);
        benchmark::DoNotOptimize(result);
    }
    pthread_attr_destroy(&attr);
}

void threadStartJoinOstrel(benchmark::State& state) {
    Empty thread;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        thread.start();
        benchmark::DoNotOptimize(thread.join());
    }
}

void threadStartJoinStd(benchmark::State& state) {
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        std::thread thread([] {});
        thread.join();
    }
}

char truePath[] = "/bin/true";
char* trueArgv[] = {truePath, nullptr};

void processStartJoinRaw(benchmark::State& state) {
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            execv(trueArgv[0], trueArgv);
            _exit(255);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}

void processStartJoinOstrel(benchmark::State& state) {
    Ostrel::Process process;
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        process.start(trueArgv);
        benchmark::DoNotOptimize(process.join());
    }
}

void processStartJoinSpawn(benchmark::State& state) {
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        pid_t pid = -1;
        posix_spawn(&pid, trueArgv[0], nullptr, nullptr, trueArgv, environ);
        int status = 0;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}

void commandStartWait(benchmark::State& state) {
    const Ostrel::Command command(truePath);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(command.start().wait().code);
    }
}

// Through the own launcher: clone on a stack of its own, the parent-death signal, a report pipe.
void launcherStartWait(benchmark::State& state) {
    const Ostrel::Command command = Ostrel::Command(truePath).dieWithParent(SIGKILL);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(command.start().wait().code);
    }
}

// Runs body from a parent that has 256 MiB of memory written (so mapped), freed afterwards.
template <void (*body)(benchmark::State&)> void fromBigParent(benchmark::State& state) {
    constexpr std::size_t size = std::size_t{256} << 20;
    const std::unique_ptr<char[]> memory(new char[size]);
    std::memset(memory.get(), 1, size);
    benchmark::DoNotOptimize(memory.get());
    body(state);
}

// CPU time (microseconds) and context switches of the calling thread so far.
struct ThreadUsage {
    ThreadUsage() {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        cpuUs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
        switches = static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
    }
    double cpuUs;
    double switches;
};

// waitFor(1000) on a child that sleeps 500 ms: the waiting thread should sleep once.
void childWaitForSleeper(benchmark::State& state) {
    const Ostrel::Command command = Ostrel::Command("/bin/sleep").arg("0.5");
    double cpuUs = 0, switches = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Ostrel::Child child = command.start();
        state.ResumeTiming();
        const ThreadUsage before;
        benchmark::DoNotOptimize(child.waitFor(1000));
        const ThreadUsage after;
        cpuUs += after.cpuUs - before.cpuUs;
        switches += after.switches - before.switches;
    }
    state.counters["waiterCpuUs"] = benchmark::Counter(cpuUs, benchmark::Counter::kAvgIterations);
    state.counters["waiterSwitches"] =
        benchmark::Counter(switches, benchmark::Counter::kAvgIterations);
}

// The talk written by hand: the input pipe non-blocking, one poll over the open pipes, writes of
// what is left and reads into one 64 KiB buffer as poll reports them ready, then the wait. The
// Child keeps owning the output descriptors; the loop only stops watching them.
std::size_t rawTalk(Ostrel::Child& child, std::string_view input) {
    if (child.stdinFd() != -1 && input.empty()) {
        child.closeStdin();
    }
    if (child.stdinFd() != -1) {
        fcntl(child.stdinFd(), F_SETFL, fcntl(child.stdinFd(), F_GETFL) | O_NONBLOCK);
    }
    std::string text[2];
    int fds[3] = {child.stdinFd(), child.stdoutFd(), child.stderrFd()};
    std::size_t written = 0;
    char buffer[65536];
    for (;;) {
        pollfd ready[3];
        int owner[3];
        nfds_t count = 0;
        for (int i = 0; i < 3; ++i) {
            if (fds[i] != -1) {
                owner[count] = i;
                ready[count++] = pollfd{fds[i], static_cast<short>(i == 0 ? POLLOUT : POLLIN), 0};
            }
        }
        if (count == 0) {
            break;
        }
        if (poll(ready, count, -1) == -1) {
            continue;
        }
        for (nfds_t j = 0; j < count; ++j) {
            const int i = owner[j];
            if (ready[j].revents == 0) {
                continue;
            }
            if (i == 0) {
                const ssize_t put = write(fds[0], input.data() + written, input.size() - written);
                written += put > 0 ? static_cast<std::size_t>(put) : 0;
                if (written == input.size() || (put == -1 && errno == EPIPE)) {
                    child.closeStdin();
                    fds[0] = -1;
                }
            } else {
                const ssize_t got = read(fds[i], buffer, sizeof buffer);
                if (got > 0) {
                    text[i - 1].append(buffer, static_cast<std::size_t>(got));
                } else if (got == 0) {
                    fds[i] = -1;
                }
            }
        }
    }
    benchmark::DoNotOptimize(child.wait());
    return text[0].size() + text[1].size();
}

const std::string& sixtyFourMiB() {
    static const std::string data(std::size_t{64} << 20, 'x');
    return data;
}

Ostrel::Command catCommand() {
    return Ostrel::Command("/bin/cat")
        .stdinFrom(Ostrel::Command::Pipe)
        .stdoutTo(Ostrel::Command::Pipe);
}

// A mebibyte to standard output and the same to standard error, interleaved.
Ostrel::Command bothStreamsCommand() {
    return Ostrel::Command("/bin/sh")
        .args({"-c", "head -c 1048576 /dev/zero | tee /dev/stderr"})
        .stdoutTo(Ostrel::Command::Pipe)
        .stderrTo(Ostrel::Command::Pipe);
}

template <Ostrel::Command (*make)(), bool withInput> void talkRaw(benchmark::State& state) {
    const Ostrel::Command command = make();
    const std::string_view input = withInput ? sixtyFourMiB() : std::string_view();
    for (auto _ : state) {
        Ostrel::Child child = command.start();
        benchmark::DoNotOptimize(rawTalk(child, input));
    }
}

template <Ostrel::Command (*make)(), bool withInput> void talkOstrel(benchmark::State& state) {
    const Ostrel::Command command = make();
    const std::string_view input = withInput ? sixtyFourMiB() : std::string_view();
    for (auto _ : state) {
        const Ostrel::Child::Output output = command.start().communicate(input);
        benchmark::DoNotOptimize(output.out.size() + output.err.size());
    }
}

} // namespace

BENCHMARK(threadStartJoinRaw)->Name("ThreadStartJoin/raw")->UseRealTime();
BENCHMARK(threadStartJoinOstrel)->Name("ThreadStartJoin/ostrel")->UseRealTime();
BENCHMARK(threadStartJoinStd)->Name("ThreadStartJoin/std")->UseRealTime();
BENCHMARK(processStartJoinRaw)->Name("ProcessStartJoin/raw")->UseRealTime();
BENCHMARK(processStartJoinOstrel)->Name("ProcessStartJoin/ostrel")->UseRealTime();
BENCHMARK(processStartJoinSpawn)->Name("ProcessStartJoin/posix_spawn")->UseRealTime();
BENCHMARK(commandStartWait)->Name("ProcessStartJoin/command")->UseRealTime();
BENCHMARK(processStartJoinSpawn)->Name("CommandStartWait/raw")->UseRealTime();
BENCHMARK(commandStartWait)->Name("CommandStartWait/ostrel")->UseRealTime();
BENCHMARK(processStartJoinSpawn)->Name("LauncherStartWait/raw")->UseRealTime();
BENCHMARK(launcherStartWait)->Name("LauncherStartWait/ostrel")->UseRealTime();
BENCHMARK(fromBigParent<processStartJoinRaw>)->Name("StartFrom256MiB/raw")->UseRealTime();
BENCHMARK(fromBigParent<processStartJoinOstrel>)->Name("StartFrom256MiB/ostrel")->UseRealTime();
BENCHMARK(fromBigParent<processStartJoinSpawn>)->Name("StartFrom256MiB/posix_spawn")->UseRealTime();
BENCHMARK(fromBigParent<commandStartWait>)->Name("StartFrom256MiB/command")->UseRealTime();
BENCHMARK(childWaitForSleeper)
    ->Name("ChildWaitFor/sleep500ms")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4);

BENCHMARK(talkRaw<catCommand, true>)
    ->Name("Communicate64MiBThroughCat/raw")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(talkOstrel<catCommand, true>)
    ->Name("Communicate64MiBThroughCat/ostrel")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(talkRaw<bothStreamsCommand, false>)
    ->Name("CommunicateMiBOnEachStream/raw")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(talkOstrel<bothStreamsCommand, false>)
    ->Name("CommunicateMiBOnEachStream/ostrel")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
