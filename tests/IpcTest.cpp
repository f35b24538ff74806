// SharedMemory, SharedMutex, SharedSemaphore, RobustMutex and FileLock, and every failure they
// report.
#include <Ostrel/FileLock.h>
#include <Ostrel/RobustMutex.h>
#include <Ostrel/SharedMemory.h>
#include <Ostrel/SharedMutex.h>
#include <Ostrel/SharedSemaphore.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <shared_mutex>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using Ostrel::FileLock;
using Ostrel::RobustMutex;
using Ostrel::SharedMemory;
using Ostrel::SharedMutex;
using Ostrel::SharedSemaphore;
using OstrelTest::NamedObject;
using OstrelTest::withError;
using namespace std::chrono_literals;

namespace {

std::string messageOf(const std::function<void()>& fn) {
    return OstrelTest::messageOf<SharedMemory::Exception>(fn);
}

TEST(SharedMemory, StateErrors) {
    const NamedObject name;
    SharedMemory memory;
    EXPECT_EQ(memory.length, 0U);
    EXPECT_EQ(messageOf([&] { memory.address(); }), "No shared memory allocated");
    EXPECT_EQ(messageOf([&] { memory.free(); }), "No shared memory allocated");
    EXPECT_EQ(messageOf([&] { memory.allocate("ostrel/sub", 64); }),
              withError("Cannot create shared memory", EINVAL));
    memory.allocate(name.c_str(), 4096);
    EXPECT_EQ(messageOf([&] { memory.allocate(name.c_str(), 64); }),
              "Shared memory is already allocated");
}

// A failing allocation, or free as freeRule says: its message; then nothing is held.
struct MemoryFailure {
    const char* name;
    unsigned long size;
    OstrelFault::Rule freeRule;
    std::string message;
};

class SharedMemoryFailure : public testing::TestWithParam<MemoryFailure> {};

TEST_P(SharedMemoryFailure, ThrowsAndHoldsNothing) {
    const MemoryFailure& row = GetParam();
    const NamedObject name;
    const std::string before = OstrelTest::heldResources();
    SharedMemory memory;
    std::string message = messageOf([&] { memory.allocate(name.c_str(), row.size); });
    if (row.freeRule.call != nullptr) {
        void* const mapped = memory.base;
        const OstrelFault::Inject fault{row.freeRule};
        message = messageOf([&] { memory.free(); });
        if (row.freeRule.call == std::string("munmap")) {
            munmap(mapped, 64); // what the failed call left
        }
    }
    EXPECT_EQ(message, row.message);
    EXPECT_EQ(memory.descriptor, -1);
    EXPECT_EQ(memory.base, MAP_FAILED);
    EXPECT_EQ(OstrelTest::heldResources(), before);
    memory.allocate(name.c_str(), 64);
}

const MemoryFailure memoryFailures[] = {
    {"MapFails", 0, {}, withError("Cannot map shared memory", EINVAL)},
    {"UnmapFails", 64, {"munmap", EINVAL}, withError("Cannot unmap shared memory", EINVAL)},
    {"CloseFails", 64, {"close", EIO}, withError("Cannot free shared memory", EIO)}};
INSTANTIATE_TEST_SUITE_P(SharedMemory, SharedMemoryFailure, testing::ValuesIn(memoryFailures),
                         OstrelTest::RowName());

// What a shared object prints when a call fails while it is made, used and destroyed; nothing
// when none does. In a child, which takes along what a failed call leaves.
enum Object { Mutex, Semaphore, RefusedSemaphore };

struct Diagnostic {
    const char* name;
    OstrelFault::Rule rule;
    Object object;
    std::string printed;
};

class SharedObjectDiagnostic : public testing::TestWithParam<Diagnostic> {};

TEST_P(SharedObjectDiagnostic, PrintsItsLines) {
    const Diagnostic& row = GetParam();
    if (OstrelTest::threadSanitizerBuild && row.rule.call == std::string("pthread_mutex_lock")) {
        GTEST_SKIP() << "ThreadSanitizer reports the refused unlock that follows as a misuse";
    }
    const NamedObject name;
    OstrelTest::inChild([&] {
        EXPECT_EQ(OstrelTest::captureStderr([&] {
                      const OstrelFault::Inject fault{row.rule};
                      if (row.object == Mutex) {
                          SharedMutex mutex(name.c_str());
                          mutex.lock(), mutex.unlock();
                      } else {
                          SharedSemaphore semaphore(row.object == Semaphore ? name.c_str() : "a/b",
                                                    1);
                          semaphore.up(), semaphore.down(), semaphore.tryDown();
                          semaphore.downFor(1);
                          EXPECT_EQ(semaphore.value(), row.object == Semaphore ? 0 : -1);
                      }
                  }),
                  row.printed);
    });
}

std::string line(const char* text, int error) {
    return withError(text, error) + "\n";
}

// The construction of a SharedMutex locks once; a refused semaphore reports every later call; a
// downFor that finds nothing is no failure.
const Diagnostic diagnostics[] = {
    {"MutexSilent", {"", 0}, Mutex, ""},
    {"MutexLockFails",
     {"pthread_mutex_lock", EINVAL, 2},
     Mutex,
     "Cannot lock mutex\nCannot unlock mutex\n"},
    {"MutexUnmapFails", {"munmap", EINVAL}, Mutex, line("Cannot unmap shared memory", EINVAL)},
    {"MutexInitFails", {"pthread_mutex_init", ENOMEM}, Mutex, "Cannot create shared mutex\n"},
    {"MutexNotShared",
     {"pthread_mutexattr_setpshared", ENOTSUP},
     Mutex,
     "Cannot set shared attribute - " + std::to_string(ENOTSUP) + "\n"},
    {"MutexCloseFails", {"close", EIO}, Mutex, line("Cannot free shared memory", EIO)},
    {"SemaphoreSilent", {"", 0}, Semaphore, ""},
    {"SemaphoreCloseFails",
     {"sem_close", EBADF},
     Semaphore,
     line("Cannot close shared semaphore", EBADF)},
    {"SemaphoreRefused",
     {"", 0},
     RefusedSemaphore,
     line("Cannot create shared semaphore", EINVAL) + line("Cannot post shared semaphore", EINVAL) +
         line("Cannot wait on shared semaphore", EINVAL) +
         line("Cannot wait on shared semaphore", EINVAL) +
         line("Cannot wait on shared semaphore", EINVAL) +
         line("Cannot get value of shared semaphore", EINVAL) +
         line("Cannot close shared semaphore", EINVAL)}};

INSTANTIATE_TEST_SUITE_P(Ipc, SharedObjectDiagnostic, testing::ValuesIn(diagnostics),
                         OstrelTest::RowName());

std::atomic<int> alarms{0};

// Interrupted by signals a thousand times a second (no SA_RESTART), downFor waits its whole time
// and still takes the unit that comes. Signal dispositions belong to the process: in a child.
TEST(SharedSemaphore, DownForOutlastsSignals) {
    const NamedObject name;
    OstrelTest::inChild([&] {
        struct sigaction action {};
        action.sa_handler = [](int) { ++alarms; };
        sigaction(SIGALRM, &action, nullptr);
        const itimerval rain{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &rain, nullptr);
        SharedSemaphore semaphore(name.c_str(), 0);
        EXPECT_GE(OstrelTest::millisecondsOf([&] { EXPECT_FALSE(semaphore.downFor(200)); }), 200);
        std::thread giver([&] { std::this_thread::sleep_for(100ms), semaphore.up(); });
        EXPECT_TRUE(semaphore.downFor(10000));
        giver.join();
        EXPECT_GT(alarms, OstrelTest::threadSanitizerBuild ? 0 : 10); // it delivers them late
        EXPECT_EQ(semaphore.value(), 0);
    });
}

// A new object of mode 0666 has it under umask 077; an existing one keeps its own. The umask
// belongs to the process: in a child.
TEST(SharedObjects, ExactModeWhateverTheUmask) {
    const NamedObject name;
    OstrelTest::inChild([&] {
        umask(077);
        const std::string files[] = {"/dev/shm/" + name.name, "/dev/shm/sem." + name.name};
        const auto modes = [&] {
            SharedMemory memory;
            memory.allocate(name.c_str(), 64, 0666);
            const SharedSemaphore semaphore(name.c_str(), 0, 0666);
            std::vector<mode_t> found;
            for (const auto& file : files) {
                struct stat info {};
                stat(file.c_str(), &info);
                found.push_back(info.st_mode & 07777);
            }
            return found;
        };
        EXPECT_EQ(modes(), (std::vector<mode_t>{0666, 0666}));
        chmod(files[0].c_str(), 0640), chmod(files[1].c_str(), 0604);
        EXPECT_EQ(modes(), (std::vector<mode_t>{0640, 0604}));
        EXPECT_TRUE(SharedMemory::remove(name.c_str()) && SharedSemaphore::remove(name.c_str()));
        EXPECT_FALSE(SharedMemory::remove(name.c_str()) || SharedSemaphore::remove(name.c_str()));
    });
}

std::string robustMessage(const std::function<void()>& fn) {
    return OstrelTest::messageOf<RobustMutex::Exception>(fn);
}

// A child that takes the lock, adds 1 to *counter and dies by SIGKILL: its process id.
pid_t holderKilled(RobustMutex& mutex, int* counter) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        mutex.lock();
        ++*counter;
        raise(SIGKILL);
    }
    EXPECT_EQ(OstrelTest::waitForExit(pid, 10000), 128 + SIGKILL);
    return pid;
}

TEST(RobustMutex, SurvivesAHolderThatDies) {
    const NamedObject lockName, counterName;
    SharedMemory memory;
    memory.allocate(counterName.c_str(), sizeof(int));
    int* const counter = static_cast<int*>(memory.address());
    RobustMutex mutex(lockName.c_str());
    EXPECT_EQ(mutex.ownerId(), 0);
    EXPECT_EQ(mutex.ownerId(), holderKilled(mutex, counter));
    EXPECT_EQ(mutex.lock(), RobustMutex::OwnerDied);
    EXPECT_EQ(*counter, 1);
    EXPECT_EQ(mutex.ownerId(), getpid());
    mutex.markConsistent();
    mutex.unlock();
    RobustMutex::LockResult result = RobustMutex::OwnerDied;
    EXPECT_TRUE(mutex.tryLock(&result));
    EXPECT_EQ(result, RobustMutex::Acquired);
    EXPECT_EQ(robustMessage([&] { mutex.markConsistent(); }),
              withError("Cannot mark robust mutex consistent", EINVAL));
    EXPECT_TRUE(mutex.tryLock()); // recursive
    EXPECT_EQ(OstrelTest::captureStderr([&] { std::thread([&] { mutex.unlock(); }).join(); }),
              withError("Cannot unlock robust mutex", EPERM) + "\n"); // refused: nothing changes
    mutex.unlock();
    EXPECT_EQ(mutex.ownerId(), getpid());
    mutex.unlock();
    EXPECT_EQ(mutex.ownerId(), 0);
    holderKilled(mutex, counter);
    EXPECT_TRUE(mutex.tryLockFor(1000, &result));
    EXPECT_EQ(result, RobustMutex::OwnerDied);
    EXPECT_EQ(*counter, 2);
    mutex.unlock(); // without markConsistent
    for (const auto& attempt : std::vector<std::function<void()>>{
             [&] { mutex.lock(); }, [&] { mutex.tryLock(); }, [&] { mutex.tryLockFor(10); }}) {
        EXPECT_EQ(robustMessage(attempt), "Shared lock is not recoverable");
    }
}

// Eight processes construct a new name at once: one initialises the lock, and it excludes them
// all from the start. Each counts its own pthread_mutex_init calls through the fault shim.
TEST(RobustMutex, InitialisedOnceByItsCreator) {
    const NamedObject lockName, dataName, gateName;
    struct Shared {
        std::atomic<long> initialisations;
        long total;
    };
    SharedMemory memory;
    memory.allocate(dataName.c_str(), sizeof(Shared));
    auto* const shared = static_cast<Shared*>(memory.address());
    SharedSemaphore gate(gateName.c_str(), 0);
    constexpr int processes = 8, increments = 50000;
    std::vector<pid_t> children;
    std::fflush(nullptr);
    for (int i = 0; i < processes; ++i) {
        children.push_back(fork());
        if (children.back() == 0) {
            const bool opened = gate.downFor(10000);
            const OstrelFault::Inject count{{"pthread_mutex_init", 0}};
            RobustMutex mutex(lockName.c_str());
            shared->initialisations += OstrelFault::callCount("pthread_mutex_init");
            for (int n = 0; n < increments; ++n) {
                mutex.lock();
                ++shared->total;
                mutex.unlock();
            }
            _exit(opened ? 0 : 1);
        }
    }
    for (int i = 0; i < processes; ++i) {
        gate.up();
    }
    for (const pid_t child : children) {
        EXPECT_EQ(OstrelTest::waitForExit(child, 50000), 0);
    }
    EXPECT_EQ(shared->initialisations, 1);
    EXPECT_EQ(shared->total, processes * increments);
}

TEST(RobustMutex, ConstructionFailures) {
    const NamedObject name;
    EXPECT_EQ(robustMessage([] { RobustMutex("a/b"); }),
              withError("Cannot create robust mutex", EINVAL));
    SharedMemory foreign; // an object that never becomes ready
    foreign.allocate(name.c_str(), 8);
    EXPECT_EQ(robustMessage([&] { RobustMutex mutex(name.c_str()); }),
              "Shared lock is not initialised");
    EXPECT_TRUE(RobustMutex::remove(name.c_str()));
    EXPECT_FALSE(RobustMutex::remove(name.c_str()));
    { // a creator that cannot initialise the lock leaves no object behind
        const OstrelFault::Inject fail{{"pthread_mutex_init", ENOMEM}};
        EXPECT_EQ(robustMessage([&] { RobustMutex mutex(name.c_str()); }),
                  withError("Cannot create robust mutex", ENOMEM));
    }
    EXPECT_FALSE(RobustMutex::remove(name.c_str()));
}

std::string lockMessage(const std::function<void()>& fn) {
    return OstrelTest::messageOf<FileLock::Exception>(fn);
}

// A lock file that cannot be opened, a lock that the system refuses, a moved-from object.
TEST(FileLock, Failures) {
    const OstrelTest::TempDir dir;
    const std::string path = dir.path + "/lock";
    FileLock lock(path), moved(std::move(lock));
    EXPECT_TRUE(lock.fd() == -1 && lock.path().empty());
    lock.unlock(); // nothing held, nothing done
    // Each call with the rule's fcntl error (0: none).
    const std::tuple<const char*, int, std::function<void()>, std::string> rows[] = {
        {"directory", 0, [&] { FileLock(dir.path); }, withError("Cannot open lock file", EISDIR)},
        {"missing directory", 0, [&] { FileLock(dir.path + "/no/lock"); },
         withError("Cannot open lock file", ENOENT)},
        {"NUL byte", 0, [&] { FileLock(path + '\0'); }, withError("Cannot open lock file", EINVAL)},
        {"moved-from", 0, [&] { lock.tryLockShared(); }, withError("Cannot lock file", EBADF)},
        {"lock", ENOLCK, [&] { moved.lock(); }, withError("Cannot lock file", ENOLCK)},
        {"tryLock", ENOLCK, [&] { moved.tryLock(); }, withError("Cannot lock file", ENOLCK)},
        {"tryLockFor", ENOLCK, [&] { moved.tryLockFor(10); },
         withError("Cannot lock file", ENOLCK)},
        {"lockShared", ENOLCK, [&] { moved.lockShared(); }, withError("Cannot lock file", ENOLCK)}};
    for (const auto& [name, error, call, message] : rows) {
        const OstrelFault::Inject fault{{"fcntl", error}};
        EXPECT_EQ(lockMessage(call), message) << name;
    }
}

// A holder killed by SIGKILL leaves no lock behind, round after round.
TEST(FileLock, HolderKilledLeavesNoLock) {
    const OstrelTest::TempDir dir;
    const std::string path = dir.path + "/lock";
    FileLock mine(path);
    const int rounds = OstrelTest::underValgrind()        ? 10
                       : OstrelTest::threadSanitizerBuild ? 50
                                                          : 200;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        int held[2];
        ASSERT_EQ(pipe(held), 0);
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            FileLock holder(path);
            holder.lock();
            (void)!write(held[1], "x", 1);
            pause();
        }
        close(held[1]);
        char byte = 0;
        EXPECT_EQ(read(held[0], &byte, 1), 1);
        close(held[0]);
        EXPECT_FALSE(mine.tryLock()) << "round " << round;
        kill(pid, SIGKILL);
        EXPECT_EQ(OstrelTest::waitForExit(pid, 10000), 128 + SIGKILL);
        EXPECT_TRUE(mine.tryLock()) << "round " << round;
        mine.unlock();
    }
}

// Objects of one file exclude each other's threads, those in lock and those that retry in
// tryLockFor. ThreadSanitizer sees the hand-overs: the plain count is no race (the relaxed
// atomics order nothing). Under valgrind a thread blocked in the kernel's lock stops the others.
TEST(FileLock, ObjectsExcludeEachOthersThreads) {
    const OstrelTest::TempDir dir;
    const int rounds = OstrelTest::underValgrind() ? 20 : 300;
    std::atomic<int> inside{0}, overlaps{0};
    long count = 0;
    OstrelTest::runThreads(3, [&](int thread) {
        FileLock own(dir.path + "/lock");
        for (int round = 0; round < rounds; ++round) {
            if (thread != 0 || OstrelTest::underValgrind()) {
                EXPECT_TRUE(own.tryLockFor(60000));
            } else {
                own.lock();
            }
            if (inside.fetch_add(1, std::memory_order_relaxed) != 0) {
                overlaps.fetch_add(1, std::memory_order_relaxed);
            }
            ++count;
            std::this_thread::yield();
            inside.fetch_sub(1, std::memory_order_relaxed);
            own.unlock();
        }
    });
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(count, 3 * rounds);
}

// Only its own descriptor's last close or unlock lets the lock go; moves hand it on.
TEST(FileLock, HeldUntilItsOwnDescriptorLetsGo) {
    const OstrelTest::TempDir dir;
    const std::string path = dir.path + "/lock";
    FileLock held(path), other(path);
    held.lock();
    held.lock(); // held already: at once
    close(open(path.c_str(), O_RDONLY));
    FileLock(path).unlock();
    EXPECT_FALSE(other.tryLockShared());
    FileLock moved(std::move(held));
    EXPECT_FALSE(other.tryLockShared());
    FileLock elsewhere(dir.path + "/elsewhere");
    moved = std::move(elsewhere);
    EXPECT_TRUE(other.tryLock());
}

// Shared holders coexist and keep the exclusive one out; one object changes its own hold.
TEST(FileLock, SharedHoldersExcludeTheExclusiveOne) {
    const OstrelTest::TempDir dir;
    const std::string path = dir.path + "/lock";
    FileLock first(path), second(path), writer(path);
    EXPECT_TRUE(first.tryLockShared() && second.tryLockSharedFor(0));
    EXPECT_GE(OstrelTest::millisecondsOf([&] { EXPECT_FALSE(writer.tryLockFor(100)); }), 100);
    EXPECT_FALSE(first.tryLock()); // second shares it: first keeps its shared hold
    second.unlock();
    EXPECT_FALSE(writer.tryLock());
    EXPECT_TRUE(first.tryLock());
    EXPECT_FALSE(second.tryLockShared());
    first.lockShared(); // down to a shared hold at once
    EXPECT_TRUE(std::shared_lock<FileLock>(second, std::try_to_lock).owns_lock());
    first.unlock();
    EXPECT_TRUE(std::unique_lock<FileLock>(writer, 1s).owns_lock());
}

std::atomic<int> lockAlarms{0};

// A new lock file gets 0666 less the umask, a descriptor above a closed standard one. Waits
// outlast signals a thousand times a second (no SA_RESTART). In a child: the umask, descriptors
// and dispositions belong to the process.
TEST(FileLock, OwnDescriptorAndWaitsThroughSignals) {
    const OstrelTest::TempDir dir;
    const std::string path = dir.path + "/lock";
    OstrelTest::inChild([&] {
        umask(027);
        close(0);
        FileLock mine(path);
        struct stat info {};
        EXPECT_EQ(stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0, 0640U);
        EXPECT_GT(mine.fd(), 2);
        EXPECT_EQ(fcntl(mine.fd(), F_GETFD), FD_CLOEXEC);
        int held[2];
        ASSERT_EQ(pipe(held), 0);
        const pid_t holder = fork();
        if (holder == 0) {
            FileLock lock(path);
            lock.lock();
            (void)!write(held[1], "x", 1);
            std::this_thread::sleep_for(300ms);
            _exit(0);
        }
        char byte = 0;
        EXPECT_EQ(read(held[0], &byte, 1), 1);
        struct sigaction action {};
        action.sa_handler = [](int) { ++lockAlarms; };
        sigaction(SIGALRM, &action, nullptr);
        const itimerval rain{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &rain, nullptr);
        EXPECT_GE(OstrelTest::millisecondsOf([&] { EXPECT_FALSE(mine.tryLockSharedFor(100)); }),
                  100);
        mine.lock();
        EXPECT_GT(lockAlarms, OstrelTest::threadSanitizerBuild ? 0 : 10);
        EXPECT_EQ(OstrelTest::waitForExit(holder, 10000), 0);
    });
}

// An object that vanishes between the refused exclusive creation and the join (the join fails
// once with ENOENT) is created anew, or joined, and the call succeeds; a mode that cannot be set
// removes what the call created; a name that cannot be removed (a directory in its place) is
// reported. In a child: the fault rules count calls from every thread.
TEST(SharedObjects, VanishingNamesRefusedModesAndRemovals) {
    const NamedObject name, other;
    OstrelTest::inChild([&] {
        SharedMemory first;
        first.allocate(name.c_str(), 64, 0600);
        *static_cast<int*>(first.address()) = 7;
        const SharedSemaphore semaphore(name.c_str(), 3, 0600);
        {
            const OstrelFault::Inject vanish{{"shm_open", ENOENT, 2}, {"sem_open", ENOENT, 2}};
            SharedMemory second;
            second.allocate(name.c_str(), 64, 0600);
            EXPECT_EQ(*static_cast<int*>(second.address()), 7);
            EXPECT_EQ(SharedSemaphore(name.c_str(), 0, 0600).value(), 3);
            EXPECT_EQ(OstrelFault::callCount("shm_open") * 10 + OstrelFault::callCount("sem_open"),
                      44);
        }
        const std::string before = OstrelTest::heldResources();
        {
            const OstrelFault::Inject refuse{{"fchmod", EPERM}, {"chmod", EPERM}};
            SharedMemory memory;
            EXPECT_EQ(messageOf([&] { memory.allocate(other.c_str(), 64, 0600); }),
                      withError("Cannot create shared memory", EPERM));
            EXPECT_EQ(OstrelTest::captureStderr([&] { SharedSemaphore(other.c_str(), 0, 0600); }),
                      withError("Cannot create shared semaphore", EPERM) + "\n" +
                          withError("Cannot close shared semaphore", EINVAL) + "\n");
        }
        EXPECT_EQ(OstrelTest::heldResources(), before);
        EXPECT_FALSE(SharedMemory::remove(other.c_str()) || SharedSemaphore::remove(other.c_str()));
        const std::string memoryFile = "/dev/shm/" + other.name,
                          semaphoreFile = "/dev/shm/sem." + other.name;
        mkdir(memoryFile.c_str(), 0700), mkdir(semaphoreFile.c_str(), 0700);
        EXPECT_EQ(messageOf([&] { SharedMemory::remove(other.c_str()); }),
                  withError("Cannot remove shared memory", EISDIR));
        EXPECT_EQ(robustMessage([&] { RobustMutex::remove(other.c_str()); }),
                  withError("Cannot remove robust mutex", EISDIR));
        EXPECT_EQ(OstrelTest::captureStderr(
                      [&] { EXPECT_FALSE(SharedSemaphore::remove(other.c_str())); }),
                  withError("Cannot remove shared semaphore", EISDIR) + "\n");
        rmdir(memoryFile.c_str()), rmdir(semaphoreFile.c_str());
    });
}

} // namespace
