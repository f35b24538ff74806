// How long Child::communicateFor(1000) takes on `sh -c 'sleep 30 & echo hi'`, whose grandchild
// keeps the output pipe open long after the child has exited: the talk must end at the limit
// with "hi" all the same. 20 runs, timed on std::chrono::steady_clock; prints the fastest,
// median, 90th-percentile and slowest time past the limit and how many ended within 20 ms of it.
// Each grandchild is ended afterwards through the child's process group. Not a Google Benchmark:
// a distribution, not a rate. `make bench` runs it.
#include <Ostrel/Command.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <signal.h>

int main() {
    constexpr unsigned long limit = 1000;
    constexpr int runs = 20;
    const Ostrel::Command command = Ostrel::Command("/bin/sh")
                                        .args({"-c", "sleep 30 & echo hi"})
                                        .newProcessGroup(true)
                                        .stdoutTo(Ostrel::Command::Pipe);
    std::vector<double> past;
    for (int i = 0; i < runs; ++i) {
        Ostrel::Child child = command.start();
        const auto start = std::chrono::steady_clock::now();
        const Ostrel::Child::Output output = child.communicateFor(limit);
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        (void)kill(-child.id(), SIGKILL);
        if (output.out != "hi\n" || !output.timedOut || output.status.shellCode() != 0) {
            std::printf("run %d: \"%s\", timedOut %d, status %d\n", i, output.out.c_str(),
                        output.timedOut, output.status.shellCode());
            return 1;
        }
        past.push_back(took.count() - static_cast<double>(limit));
    }
    std::sort(past.begin(), past.end());
    const auto within = std::count_if(past.begin(), past.end(), [](double ms) { return ms <= 20; });
    std::printf("communicateFor(%lu) with a grandchild holding the pipe, %d runs; milliseconds "
                "past the limit:\n",
                limit, runs);
    std::printf("%7s %7s %7s %7s   %s\n", "min", "median", "p90", "max", "<= 20 ms");
    std::printf("%7.2f %7.2f %7.2f %7.2f   %2ld of %d\n", past.front(), past[runs / 2],
                past[runs * 9 / 10], past.back(), static_cast<long>(within), runs);
    return 0;
}
