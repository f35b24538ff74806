// What the peer benchmark programs share. Each benchmark is named CASE/LIBRARY:CALLS, where
// LIBRARY is raw (the platform calls written by hand, the baseline of the case), ostrel, poco,
// boost, qt, std, or posix (another platform call, shown for information), and CALLS names the
// class and the calls it times. Before any timing, every program checks that all the sides of
// each case do the same thing, prints one line per check on standard error, and times nothing
// when a check fails. Not thread-safe: the checks run on the main thread before the benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace OstrelPeers {

// The number of failed checks so far.
inline int& failures() {
    static int count = 0;
    return count;
}

// Prints the outcome of one check of the case and side and counts a failure.
inline void expect(bool ok, const std::string& row, const std::string& side,
                   const std::string& detail = "") {
    std::fprintf(stderr, "check %s %s: %s%s%s\n", row.c_str(), side.c_str(), ok ? "ok" : "FAILED",
                 detail.empty() ? "" : ": ", detail.c_str());
    if (!ok) {
        ++failures();
    }
}

// The result of probe() called on another thread (a lock must be tried from a thread that does
// not hold it).
template <class Probe> bool fromOtherThread(Probe probe) {
    return std::async(std::launch::async, probe).get();
}

// Registers body under the name CASE/VARIANT.
template <class Body> benchmark::internal::Benchmark* add(const std::string& name, Body body) {
    return benchmark::RegisterBenchmark(name.c_str(), body);
}

// The process that runs the benchmarks, seen from the parent that waits for it.
inline pid_t worker = 0;

inline void forward(int signal) {
    if (worker > 0) {
        kill(worker, signal);
    }
}

// Runs work() in a child process and waits for it, passing SIGINT, SIGTERM and SIGHUP on to it,
// then calls cleanup(child) however the child ended (when not null): what a killed or interrupted
// run leaves behind - a tree of files, named objects - is removed all the same. The signals are
// blocked from before the fork until each process has its dispositions, so none is lost. Returns
// the child's exit status, or 128 + the signal that ended it.
template <class Work> int guarded(Work work, void (*cleanup)(pid_t)) {
    constexpr int count = 3;
    const int signals[count] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t passed, previous;
    sigemptyset(&passed);
    for (const int signal : signals) {
        sigaddset(&passed, signal);
    }
    sigprocmask(SIG_BLOCK, &passed, &previous);
    struct sigaction action {};
    action.sa_handler = forward;
    struct sigaction before[count];
    for (int i = 0; i < count; ++i) {
        sigaction(signals[i], &action, &before[i]);
    }
    worker = fork();
    if (worker == 0) {
        for (int i = 0; i < count; ++i) {
            sigaction(signals[i], &before[i], nullptr);
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        std::exit(work());
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (worker < 0) {
        std::perror("fork");
        return 1;
    }
    int status = 0;
    while (waitpid(worker, &status, 0) < 0 && errno == EINTR) {
    }
    if (cleanup != nullptr) {
        cleanup(worker);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Ends the run when the checks take longer than checkSeconds: some side blocks where it should
// not (a lock that does not let go, a semaphore that does not count).
constexpr unsigned checkSeconds = 300;

inline void checksTooLong(int) {
    const char text[] = "the checks are still running after 300 s: a side blocks\n";
    const ssize_t ignored = write(2, text, sizeof text - 1);
    static_cast<void>(ignored);
    _exit(1);
}

// The main of every peer program. In a child process (guarded): reads the benchmark options,
// calls prepare (when not null; false ends the run), makes the QCoreApplication that Qt's classes
// expect, calls rows (which checks the sides of every case and registers them, bounded by
// checkSeconds), then runs the benchmarks if no check failed. The parent then calls cleanup.
inline int run(int argc, char** argv, void (*rows)(), void (*cleanup)(pid_t) = nullptr,
               bool (*prepare)() = nullptr) {
    return guarded(
        [&] {
            benchmark::Initialize(&argc, argv);
            if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
                return 2;
            }
            if (prepare != nullptr && !prepare()) {
                return 1;
            }
            const QCoreApplication application(argc, argv);
            std::signal(SIGALRM, checksTooLong);
            alarm(checkSeconds);
            rows();
            alarm(0);
            if (failures() != 0) {
                std::fprintf(stderr, "%d check(s) failed: nothing timed\n", failures());
                return 1;
            }
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
            return 0;
        },
        cleanup);
}

} // namespace OstrelPeers
