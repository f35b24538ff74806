// Thread start+join of an empty body, and Process start+join of /bin/true, against the same
// sequences written with the raw calls.
#include <Ostrel/Process.h>
#include <Ostrel/Thread.h>

#include "AllocCount.h"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
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

template <class Body> void countAllocs(benchmark::State& state, Body body) {
    const std::uint64_t before = OstrelBench::allocationCount();
    for (auto _ : state) {
        body();
    }
    state.counters["allocs"] = static_cast<double>(OstrelBench::allocationCount() - before) /
                               static_cast<double>(state.iterations());
}

void ThreadStartJoinRaw(benchmark::State& state) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
    countAllocs(state, [&] {
        pthread_t id;
        pthread_create(&id, &attr, rawBody, nullptr);
        void* result = nullptr;
        pthread_join(id, &result);
        benchmark::DoNotOptimize(result);
    });
    pthread_attr_destroy(&attr);
}

void ThreadStartJoinOstrel(benchmark::State& state) {
    Empty thread;
    countAllocs(state, [&] {
        thread.start();
        benchmark::DoNotOptimize(thread.join());
    });
}

void ThreadStartJoinStd(benchmark::State& state) {
    countAllocs(state, [] {
        std::thread thread([] {});
        thread.join();
    });
}

char truePath[] = "/bin/true";
char* trueArgv[] = {truePath, nullptr};

void ProcessStartJoinRaw(benchmark::State& state) {
    countAllocs(state, [] {
        const pid_t pid = fork();
        if (pid == 0) {
            execv(trueArgv[0], trueArgv);
            _exit(255);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    });
}

void ProcessStartJoinOstrel(benchmark::State& state) {
    Ostrel::Process process;
    countAllocs(state, [&] {
        process.start(trueArgv);
        benchmark::DoNotOptimize(process.join());
    });
}

void ProcessStartJoinSpawn(benchmark::State& state) {
    countAllocs(state, [] {
        pid_t pid = -1;
        posix_spawn(&pid, trueArgv[0], nullptr, nullptr, trueArgv, environ);
        int status = 0;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    });
}

} // namespace

BENCHMARK(ThreadStartJoinRaw)->Name("ThreadStartJoin/raw")->UseRealTime();
BENCHMARK(ThreadStartJoinOstrel)->Name("ThreadStartJoin/ostrel")->UseRealTime();
BENCHMARK(ThreadStartJoinStd)->Name("ThreadStartJoin/std")->UseRealTime();
BENCHMARK(ProcessStartJoinRaw)->Name("ProcessStartJoin/raw")->UseRealTime();
BENCHMARK(ProcessStartJoinOstrel)->Name("ProcessStartJoin/ostrel")->UseRealTime();
BENCHMARK(ProcessStartJoinSpawn)->Name("ProcessStartJoin/posix_spawn")->UseRealTime();

BENCHMARK_MAIN();
