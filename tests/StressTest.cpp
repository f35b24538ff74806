// Stress tests: the synchronisation classes, threads, signals and the shared semaphore under
// sustained load, each bounded in count and in time. The counts are the full ones in every build
// but the ThreadSanitizer one, which runs them at a tenth (it is many times slower).
#include <Ostrel/Event.h>
#include <Ostrel/Semaphore.h>
#include <Ostrel/SharedSemaphore.h>
#include <Ostrel/Signal.h>
#include <Ostrel/Thread.h>

#include "support/SpinThread.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <poll.h>
#include <semaphore.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Ostrel::Event;
using Ostrel::Semaphore;
using Ostrel::Thread;
using OstrelTest::SpinThread;

namespace {

constexpr int scaleDown = OstrelTest::threadSanitizerBuild ? 10 : 1;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool addressSanitizerBuild = true;
#else
constexpr bool addressSanitizerBuild = false;
#endif

// True when a thread blocked in down() stays blocked for 100 ms, i.e. the count is below 1; the
// blocked thread is released with one up() afterwards.
bool downBlocks(Semaphore& semaphore) {
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        semaphore.down();
        passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool blocked = !passed;
    semaphore.up();
    waiter.join();
    return blocked;
}

TEST(StressTest, SemaphoreUpDownPairs) {
    constexpr int threads = 8;
    const int pairs = 100000 / scaleDown;
    constexpr int start = 2;
    Semaphore semaphore(start);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        // Half take a unit and give it back, half give one and take one: both kinds contend
        // for the mutex and the down-first ones really wait when the count is used up.
        workers.emplace_back([&semaphore, t, pairs] {
            for (int i = 0; i < pairs; ++i) {
                if (t % 2 == 0) {
                    semaphore.down();
                    semaphore.up();
                } else {
                    semaphore.up();
                    semaphore.down();
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    // The count is back at start: start downs pass at once, the next one waits.
    for (int i = 0; i < start; ++i) {
        semaphore.down();
    }
    EXPECT_TRUE(downBlocks(semaphore));
    for (int i = 0; i < start; ++i) {
        semaphore.up();
    }
}

// A token, a sequence number, goes round a ring of threads; each thread has an automatic-reset
// Event that the one before it sets after placing the next number in the thread's box.
TEST(StressTest, EventTokenRing) {
    constexpr int ringSize = 4;
    const long passes = 100000 / scaleDown;
    constexpr long stop = -2;
    struct Slot {
        Event event{false, false};
        std::atomic<long> box{-1};
        long received = 0;
        long outOfOrder = 0;
        long extraWakeups = 0;
    };
    std::vector<std::unique_ptr<Slot>> slots;
    for (int i = 0; i < ringSize; ++i) {
        slots.push_back(std::make_unique<Slot>());
    }
    std::atomic<int> holders{0};
    std::atomic<long> doubled{0};
    Event finished(true, false);

    std::vector<std::thread> ring;
    for (int i = 0; i < ringSize; ++i) {
        ring.emplace_back([&, i] {
            Slot& own = *slots[i];
            Slot& next = *slots[(i + 1) % ringSize];
            long last = i - ringSize;
            for (;;) {
                own.event.wait();
                const long token = own.box.load();
                if (token == stop) {
                    return;
                }
                if (token == last) {
                    // No new token: a wake-up the platform allows without a set.
                    ++own.extraWakeups;
                    continue;
                }
                if (holders.fetch_add(1) != 0) {
                    ++doubled;
                }
                if (token != last + ringSize) {
                    ++own.outOfOrder;
                }
                last = token;
                ++own.received;
                holders.fetch_sub(1);
                if (token + 1 == passes) {
                    finished.set();
                } else {
                    next.box.store(token + 1);
                    next.event.set();
                }
            }
        });
    }
    slots[0]->box.store(0);
    slots[0]->event.set();
    // A lost token stops the ring: the wait then runs out.
    const bool completed = finished.wait(50000);
    for (auto& slot : slots) {
        slot->box.store(stop);
        slot->event.set();
    }
    for (auto& thread : ring) {
        thread.join();
    }
    EXPECT_TRUE(completed) << "the token was lost";
    EXPECT_EQ(doubled.load(), 0);
    long total = 0;
    for (const auto& slot : slots) {
        EXPECT_EQ(slot->outOfOrder, 0);
        EXPECT_EQ(slot->received, passes / ringSize);
        total += slot->received;
    }
    EXPECT_EQ(total, passes);
}

// Descriptors and memory of this process.
struct Usage {
    int descriptors = 0;
    long rssKb = 0;
    long sizeKb = 0;
};

Usage usage() {
    Usage result;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++result.descriptors;
            }
        }
        closedir(dir);
    }
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> result.rssKb;
        } else if (key == "VmSize:") {
            status >> result.sizeKb;
        }
    }
    return result;
}

class ReturnThread : public Thread {
public:
    ~ReturnThread() override {
        if (running) {
            (void)join();
        }
    }
    int main() override { return 5; }
};

// Runs cycles of fn after a warm-up (the thread library keeps a cache of stacks, the allocator
// its arenas) and checks that neither descriptors nor memory grew beyond a small tolerance.
void expectNoGrowth(int cycles, const std::function<void()>& fn) {
    for (int i = 0; i < 50; ++i) {
        fn();
    }
    const Usage before = usage();
    for (int i = 0; i < cycles; ++i) {
        fn();
    }
    const Usage after = usage();
    EXPECT_EQ(after.descriptors, before.descriptors);
    // A leaked thread would keep at least its stack (8 MiB of address space) and a page of it.
    // AddressSanitizer's quarantine holds up to 256 MiB of freed memory back, so its build gets
    // that much room (its leak checker finds lost memory there instead).
    const long toleranceKb = addressSanitizerBuild ? 320 * 1024 : 4 * 1024;
    EXPECT_LE(after.sizeKb - before.sizeKb, toleranceKb);
    EXPECT_LE(after.rssKb - before.rssKb, toleranceKb);
}

TEST(StressTest, ThreadStartJoinCycles) {
    const int cycles = 10000 / scaleDown;
    int wrong = 0;
    ReturnThread reused;
    expectNoGrowth(cycles, [&] {
        // A fresh object and the same object again, each started and joined.
        ReturnThread fresh;
        fresh.start();
        wrong += fresh.join() != 5;
        reused.start();
        wrong += reused.join() != 5;
    });
    EXPECT_EQ(wrong, 0);
}

TEST(StressTest, ThreadStartTerminateJoinCycles) {
    const int cycles = 1000 / scaleDown;
    int wrong = 0;
    int code = 0;
    expectNoGrowth(cycles, [&] {
        SpinThread spin;
        spin.start();
        // Every other cycle cancels at once, maybe before the body runs; the others once it spins.
        if (++code % 2 == 0) {
            while (spin.spins.load() == 0) {
                Thread::yield();
            }
        }
        spin.terminate(code);
        wrong += spin.join() != code;
    });
    EXPECT_EQ(wrong, 0);
}

// The receiver counts the handler's calls and acknowledges each on a pipe (write is
// async-signal-safe).
volatile std::sig_atomic_t handled = 0;
int acknowledge = -1;

class CountingHandler : public Ostrel::Signal::SignalHandler {
public:
    void signalReceived(Ostrel::Signal::SignalType) override {
        handled = handled + 1;
        const char byte = 'a';
        (void)!write(acknowledge, &byte, 1);
    }
};

bool readByte(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
        const int ready = poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        char byte = 0;
        return ready == 1 && read(fd, &byte, 1) == 1;
    }
}

// A child process registers a handler and another process, its own child, sends it SIGTERM:
// first one signal at a time, waiting for the acknowledgement of each, so none can merge with
// the next and every one must reach the handler; then a burst without waiting, of which the
// kernel may merge pending ones, so at least one and at most all reach it.
TEST(StressTest, SignalsFromAnotherProcess) {
    const int acknowledged = 10000 / scaleDown;
    const int burst = 1000 / scaleDown;
    const int code = OstrelTest::runInChild(
        [&] {
            int ack[2];
            int done[2];
            if (pipe(ack) != 0 || pipe(done) != 0) {
                return 10;
            }
            acknowledge = ack[1];
            CountingHandler handler;
            Ostrel::Signal::_the.addSignalHandler(Ostrel::Signal::Terminate, handler);
            const pid_t sender = fork();
            if (sender == 0) {
                const pid_t receiver = getppid();
                for (int i = 0; i < acknowledged; ++i) {
                    if (kill(receiver, SIGTERM) != 0 || !readByte(ack[0], 5000)) {
                        _exit(1);
                    }
                }
                for (int i = 0; i < burst; ++i) {
                    if (kill(receiver, SIGTERM) != 0) {
                        _exit(2);
                    }
                }
                const char byte = 'd';
                _exit(write(done[1], &byte, 1) == 1 ? 0 : 3);
            }
            // Signals sent before the byte are delivered at the latest on the return from the
            // read that receives it.
            const bool finished = sender > 0 && readByte(done[0], 60000);
            const int count = handled;
            int status = 0;
            while (sender > 0 && waitpid(sender, &status, 0) < 0 && errno == EINTR) {
            }
            Ostrel::Signal::_the.removeSignalHandler(Ostrel::Signal::Terminate);
            if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                return 20 + (WIFEXITED(status) ? WEXITSTATUS(status) : 9);
            }
            if (count < acknowledged + 1) {
                return 30;
            }
            return count <= acknowledged + burst ? 0 : 31;
        },
        90000);
    // 0: survived, every acknowledged signal counted, and between 1 and all of the burst.
    EXPECT_EQ(code, 0);
}

// Forks n processes running fn (its result is the exit code) and collects their codes; a
// process still running after timeoutMs is killed and gives -1.
std::vector<int> runProcesses(int n, const std::function<int(int)>& fn, int timeoutMs) {
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(fn(i));
        }
        pids.push_back(pid);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<int> codes;
    for (const pid_t pid : pids) {
        int status = 0;
        int code = -1;
        for (;;) {
            const pid_t ended = pid > 0 ? waitpid(pid, &status, WNOHANG) : -1;
            if (ended == pid) {
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (ended < 0 || std::chrono::steady_clock::now() > deadline) {
                if (pid > 0) {
                    kill(pid, SIGKILL);
                    waitpid(pid, &status, 0);
                }
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        codes.push_back(code);
    }
    return codes;
}

// Four processes use a SharedSemaphore of value 2 as a counting resource: each takes a unit,
// marks it in use in shared memory, gives it back. At most 2 are ever in use, and the value
// ends exactly where it started.
TEST(StressTest, SharedSemaphoreCountingResource) {
    constexpr int processes = 4;
    constexpr int units = 2;
    const int operations = 100000 / scaleDown;
    const std::string name = OstrelTest::uniqueName("ostrel-stress-sem");
    void* memory = mmap(nullptr, sizeof(std::atomic<int>) * 2, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* inUse = new (memory) std::atomic<int>(0);
    auto* maxInUse = new (static_cast<std::atomic<int>*>(memory) + 1) std::atomic<int>(0);
    {
        Ostrel::SharedSemaphore created(name.c_str(), units);
        const auto codes = runProcesses(
            processes,
            [&](int) {
                Ostrel::SharedSemaphore semaphore(name.c_str(), units);
                // A down and an up per iteration: operations in all, shared out.
                for (int i = 0; i < operations / processes / 2; ++i) {
                    semaphore.down();
                    const int now = inUse->fetch_add(1) + 1;
                    int seen = maxInUse->load();
                    while (now > seen && !maxInUse->compare_exchange_weak(seen, now)) {
                    }
                    inUse->fetch_sub(1);
                    semaphore.up();
                }
                return 0;
            },
            60000);
        EXPECT_EQ(codes, std::vector<int>(processes, 0));
    }
    EXPECT_LE(maxInUse->load(), units);
    EXPECT_GE(maxInUse->load(), 1);
    sem_t* semaphore = sem_open(("/" + name).c_str(), 0);
    ASSERT_NE(semaphore, SEM_FAILED);
    int value = -1;
    EXPECT_EQ(sem_getvalue(semaphore, &value), 0);
    EXPECT_EQ(value, units);
    sem_close(semaphore);
    sem_unlink(("/" + name).c_str());
    munmap(memory, sizeof(std::atomic<int>) * 2);
}

} // namespace
