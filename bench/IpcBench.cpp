// Inter-process objects and library loading against the raw call sequences they wrap.
#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/FileLock.h>
#include <Ostrel/RobustMutex.h>
#include <Ostrel/SharedMemory.h>
#include <Ostrel/SharedMutex.h>
#include <Ostrel/SharedSemaphore.h>
#include <Ostrel/Time.h>

#include "AllocCount.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string name(const char* what) {
    return std::string("ostrelBench") + what + std::to_string(getpid());
}

const char* libraryPath() {
    // The library itself, found next to the program's sibling lib directory.
    static std::string path = [] {
        char buf[4096];
        const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        std::string exe(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
        exe = exe.substr(0, exe.rfind('/'));
        return exe.substr(0, exe.rfind('/')) + "/lib/libOstrel.so";
    }();
    return path.c_str();
}

// A process-shared recursive pthread mutex filling a shared-memory segment, as SharedMutex has it.
struct RawSharedMutex {
    RawSharedMutex() : object("/" + name("RawMutex")) {
        fd = shm_open(object.c_str(), O_RDWR | O_CREAT, 0666);
        ftruncate(fd, sizeof(pthread_mutex_t));
        mutex = static_cast<pthread_mutex_t*>(
            mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutex_init(mutex, &attr);
    }
    ~RawSharedMutex() {
        pthread_mutex_destroy(mutex);
        pthread_mutexattr_destroy(&attr);
        munmap(mutex, sizeof(pthread_mutex_t));
        close(fd);
        shm_unlink(object.c_str());
    }
    RawSharedMutex(const RawSharedMutex&) = delete;
    RawSharedMutex& operator=(const RawSharedMutex&) = delete;
    const std::string object;
    int fd;
    pthread_mutex_t* mutex;
    pthread_mutexattr_t attr;
};

void lockUnlockRaw(benchmark::State& state) {
    const RawSharedMutex raw;
    for (auto _ : state) {
        pthread_mutex_lock(raw.mutex);
        pthread_mutex_unlock(raw.mutex);
    }
}

void lockUnlockOstrel(benchmark::State& state) {
    const std::string shared = name("Mutex");
    {
        Ostrel::SharedMutex mutex(shared.c_str());
        OstrelBench::AllocCounter allocs(state);
        for (auto _ : state) {
            mutex.lock();
            mutex.unlock();
        }
    }
    shm_unlink(("/" + shared).c_str());
}

void upDownRaw(benchmark::State& state) {
    const std::string object = "/" + name("RawSem");
    sem_t* sem = sem_open(object.c_str(), O_CREAT, 0644, 0U);
    for (auto _ : state) {
        sem_post(sem);
        sem_wait(sem);
    }
    sem_close(sem);
    sem_unlink(object.c_str());
}

void upDownOstrel(benchmark::State& state) {
    const std::string shared = name("Sem");
    {
        Ostrel::SharedSemaphore semaphore(shared.c_str(), 0);
        OstrelBench::AllocCounter allocs(state);
        for (auto _ : state) {
            semaphore.up();
            semaphore.down();
        }
    }
    sem_unlink(("/" + shared).c_str());
}

// The timed operations that find what they wait for: raw is the try call they make first.
void upTryDownRaw(benchmark::State& state) {
    const std::string object = "/" + name("RawTrySem");
    sem_t* sem = sem_open(object.c_str(), O_CREAT, 0644, 0U);
    for (auto _ : state) {
        sem_post(sem);
        benchmark::DoNotOptimize(sem_trywait(sem));
    }
    sem_close(sem);
    sem_unlink(object.c_str());
}

// up, then tryDown (downFor false) or downFor(1000) (downFor true).
template <bool downFor> void upTryDownOstrel(benchmark::State& state) {
    const std::string shared = name("TrySem");
    {
        Ostrel::SharedSemaphore semaphore(shared.c_str(), 0);
        OstrelBench::AllocCounter allocs(state);
        for (auto _ : state) {
            semaphore.up();
            benchmark::DoNotOptimize(downFor ? semaphore.downFor(1000) : semaphore.tryDown());
        }
    }
    sem_unlink(("/" + shared).c_str());
}

void tryLockForZeroRaw(benchmark::State& state) {
    const RawSharedMutex raw;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_mutex_trylock(raw.mutex));
        pthread_mutex_unlock(raw.mutex);
    }
}

void tryLockForZeroOstrel(benchmark::State& state) {
    const std::string shared = name("TryMutex");
    {
        Ostrel::SharedMutex mutex(shared.c_str());
        OstrelBench::AllocCounter allocs(state);
        for (auto _ : state) {
            benchmark::DoNotOptimize(mutex.tryLockFor(0));
            mutex.unlock();
        }
    }
    shm_unlink(("/" + shared).c_str());
}

void allocateFreeRaw(benchmark::State& state) {
    const std::string shared = name("RawMem");
    for (auto _ : state) {
        const std::string object = "/" + shared;
        const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT, 0666);
        ftruncate(fd, 4096);
        void* base = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        benchmark::DoNotOptimize(base);
        munmap(base, 4096);
        close(fd);
    }
    shm_unlink(("/" + shared).c_str());
}

void allocateFreeOstrel(benchmark::State& state) {
    const std::string shared = name("Mem");
    Ostrel::SharedMemory memory;
    for (auto _ : state) {
        memory.allocate(shared.c_str(), 4096);
        benchmark::DoNotOptimize(memory.address());
        memory.free();
    }
    shm_unlink(("/" + shared).c_str());
}

// The exported name of a function of the library, Ostrel::getSystemTime, as the compiler mangled
// it: dladdr names the symbol at its address. Empty when no symbol starts exactly there.
const char* symbolName() {
    static const std::string symbol = [] {
        const auto function = reinterpret_cast<const void*>(&Ostrel::getSystemTime);
        Dl_info info{};
        const bool named =
            dladdr(function, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr == function;
        return std::string(named ? info.dli_sname : "");
    }();
    return symbol.c_str();
}

void loadSymbolUnloadRaw(benchmark::State& state) {
    for (auto _ : state) {
        void* handle = dlopen(libraryPath(), RTLD_LAZY);
        benchmark::DoNotOptimize(dlsym(handle, symbolName()));
        dlclose(handle);
    }
}

void loadSymbolUnloadOstrel(benchmark::State& state) {
    Ostrel::DynamicLibrary library;
    for (auto _ : state) {
        library.load(libraryPath());
        benchmark::DoNotOptimize(library.getSymbol(symbolName()));
        library.unload();
    }
}

// One round trip: the parent posts "ping", the child answers on "pong".
void pingPongOstrel(benchmark::State& state) {
    const std::string ping = name("Ping");
    const std::string pong = name("Pong");
    Ostrel::SharedSemaphore toChild(ping.c_str(), 0);
    Ostrel::SharedSemaphore toParent(pong.c_str(), 0);
    const pid_t child = fork();
    if (child == 0) {
        for (;;) {
            toChild.down();
            toParent.up();
        }
    }
    for (auto _ : state) {
        toChild.up();
        toParent.down();
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    sem_unlink(("/" + ping).c_str());
    sem_unlink(("/" + pong).c_str());
}

// The lock of RobustMutex written by hand: a recursive, process-shared, robust pthread mutex in a
// segment, with the depth and holder bookkeeping left out.
struct RawRobustMutex {
    RawRobustMutex() : object("/" + name("RawRobust")) {
        fd = shm_open(object.c_str(), O_RDWR | O_CREAT, 0666);
        ftruncate(fd, sizeof(pthread_mutex_t));
        mutex = static_cast<pthread_mutex_t*>(
            mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~RawRobustMutex() {
        munmap(mutex, sizeof(pthread_mutex_t));
        close(fd);
        shm_unlink(object.c_str());
    }
    RawRobustMutex(const RawRobustMutex&) = delete;
    RawRobustMutex& operator=(const RawRobustMutex&) = delete;
    void lock() { pthread_mutex_lock(mutex); }
    void unlock() { pthread_mutex_unlock(mutex); }
    const std::string object;
    int fd;
    pthread_mutex_t* mutex;
};

void robustLockUnlockRaw(benchmark::State& state) {
    RawRobustMutex raw;
    for (auto _ : state) {
        raw.lock();
        raw.unlock();
    }
}

// Lock must be constructible from a name: RobustMutex, or SharedMutex for comparison.
template <class Lock> void robustLockUnlockOstrel(benchmark::State& state) {
    const std::string shared = name("Robust");
    {
        Lock mutex(shared.c_str());
        OstrelBench::AllocCounter allocs(state);
        for (auto _ : state) {
            mutex.lock();
            mutex.unlock();
        }
    }
    shm_unlink(("/" + shared).c_str());
}

// One round trip between two processes: each side takes the lock, adds 1 to the count beside it,
// releases it and posts the other side's semaphore. Lock is RawRobustMutex or a RobustMutex of
// the given name; Semaphore is a sem_t* or a SharedSemaphore.
struct RawSemaphore {
    explicit RawSemaphore(const std::string& object) : object(object) {
        sem = sem_open(object.c_str(), O_CREAT, 0644, 0U);
    }
    ~RawSemaphore() {
        sem_close(sem);
        sem_unlink(object.c_str());
    }
    RawSemaphore(const RawSemaphore&) = delete;
    RawSemaphore& operator=(const RawSemaphore&) = delete;
    void up() { sem_post(sem); }
    void down() { sem_wait(sem); }
    const std::string object;
    sem_t* sem;
};

template <class Lock, class Semaphore>
void exchange(benchmark::State& state, Lock& lock, Semaphore& toChild, Semaphore& toParent) {
    std::atomic<long>* count = static_cast<std::atomic<long>*>(
        mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    const pid_t child = fork();
    if (child == 0) {
        for (;;) {
            toChild.down();
            lock.lock();
            count->fetch_add(1, std::memory_order_relaxed);
            lock.unlock();
            toParent.up();
        }
    }
    for (auto _ : state) {
        lock.lock();
        count->fetch_add(1, std::memory_order_relaxed);
        lock.unlock();
        toChild.up();
        toParent.down();
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    munmap(count, sizeof(long));
}

void robustPingPongRaw(benchmark::State& state) {
    RawRobustMutex lock;
    RawSemaphore toChild("/" + name("RawRobustPing")), toParent("/" + name("RawRobustPong"));
    exchange(state, lock, toChild, toParent);
}

void robustPingPongOstrel(benchmark::State& state) {
    const std::string lockName = name("RobustLock"), ping = name("RobustPing"),
                      pong = name("RobustPong");
    {
        Ostrel::RobustMutex lock(lockName.c_str());
        Ostrel::SharedSemaphore toChild(ping.c_str(), 0), toParent(pong.c_str(), 0);
        exchange(state, lock, toChild, toParent);
    }
    Ostrel::RobustMutex::remove(lockName.c_str());
    Ostrel::SharedSemaphore::remove(ping.c_str());
    Ostrel::SharedSemaphore::remove(pong.c_str());
}

// A lock file of the benchmark's own in /tmp, removed when it goes.
struct LockFile {
    explicit LockFile(const char* what) : path("/tmp/" + name(what)) {}
    ~LockFile() { unlink(path.c_str()); }
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    const std::string path;
};

// The whole-file open file description lock of type, as FileLock asks for it.
struct flock wholeFile(short type) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    return request;
}

// The raw pair: fcntl(F_OFD_SETLK) taking the write lock, and again releasing it.
struct RawFileLock {
    explicit RawFileLock(const std::string& path)
        : fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {}
    ~RawFileLock() { close(fd); }
    RawFileLock(const RawFileLock&) = delete;
    RawFileLock& operator=(const RawFileLock&) = delete;
    void lock() const {
        struct flock request = wholeFile(F_WRLCK);
        fcntl(fd, F_OFD_SETLKW, &request);
    }
    bool tryLock() const {
        struct flock request = wholeFile(F_WRLCK);
        return fcntl(fd, F_OFD_SETLK, &request) == 0;
    }
    void unlock() const {
        struct flock request = wholeFile(F_UNLCK);
        fcntl(fd, F_OFD_SETLK, &request);
    }
    const int fd;
};

void fileLockUnlockRaw(benchmark::State& state) {
    const LockFile file("RawFileLock");
    const RawFileLock raw(file.path);
    for (auto _ : state) {
        benchmark::DoNotOptimize(raw.tryLock());
        raw.unlock();
    }
}

// lock (tryLock false) or tryLock (true), then unlock.
template <bool tryLock> void fileLockUnlockOstrel(benchmark::State& state) {
    const LockFile file("FileLock");
    Ostrel::FileLock lock(file.path);
    OstrelBench::AllocCounter allocs(state);
    for (auto _ : state) {
        if (tryLock) {
            benchmark::DoNotOptimize(lock.tryLock());
        } else {
            lock.lock();
        }
        lock.unlock();
    }
}

std::int64_t nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// True once /proc/locks shows a request that waits ("->") for a lock on the file inode.
bool waiterBlocked(ino_t inode) {
    const std::string file = ":" + std::to_string(inode) + " ";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(file) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Hand-over: a child process blocked in lock() takes the lock when this process unlocks. Each
// iteration's time, given by hand, is from just before the unlock to just after the child's lock
// returned (the monotonic clock is the same in both); the median goes into the counter
// "medianUs". Lock is RawFileLock or Ostrel::FileLock, each side with its own descriptor.
template <class Lock> void fileLockHandOver(benchmark::State& state) {
    const LockFile file("HandOver");
    Lock holder(file.path);
    struct stat info {};
    stat(file.path.c_str(), &info);
    int go[2], done[2];
    if (pipe(go) != 0 || pipe(done) != 0) {
        state.SkipWithError("no pipes");
        return;
    }
    holder.lock();
    const pid_t child = fork();
    if (child == 0) {
        close(go[1]);
        Lock waiter(file.path);
        char byte = 0;
        while (read(go[0], &byte, 1) == 1) {
            waiter.lock();
            const std::int64_t taken = nowNs();
            (void)!write(done[1], &taken, sizeof taken);
            waiter.unlock();
        }
        _exit(0);
    }
    close(go[0]);
    close(done[1]);
    std::vector<double> latencies;
    for (auto _ : state) {
        (void)!write(go[1], "x", 1);
        while (!waiterBlocked(info.st_ino)) {
            usleep(20);
        }
        const std::int64_t released = nowNs();
        holder.unlock();
        std::int64_t taken = 0;
        (void)!read(done[0], &taken, sizeof taken);
        const double seconds = static_cast<double>(taken - released) / 1e9;
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1e6);
        holder.lock();
    }
    close(go[1]);
    waitpid(child, nullptr, 0);
    close(done[0]);
    const auto middle = latencies.begin() + static_cast<std::ptrdiff_t>(latencies.size() / 2);
    std::nth_element(latencies.begin(), middle, latencies.end());
    state.counters["medianUs"] = latencies.empty() ? 0 : *middle;
}

} // namespace

BENCHMARK(fileLockUnlockRaw)->Name("FileLockUnlock/raw");
BENCHMARK(fileLockUnlockOstrel<false>)->Name("FileLockUnlock/ostrel");
BENCHMARK(fileLockUnlockOstrel<true>)->Name("FileLockUnlock/tryLock");
BENCHMARK(fileLockHandOver<RawFileLock>)
    ->Name("FileLockHandOver/raw")
    ->UseManualTime()
    ->Iterations(2000);
BENCHMARK(fileLockHandOver<Ostrel::FileLock>)
    ->Name("FileLockHandOver/ostrel")
    ->UseManualTime()
    ->Iterations(2000);
BENCHMARK(robustLockUnlockRaw)->Name("RobustLockUnlock/raw");
BENCHMARK(robustLockUnlockOstrel<Ostrel::RobustMutex>)->Name("RobustLockUnlock/ostrel");
BENCHMARK(robustLockUnlockOstrel<Ostrel::SharedMutex>)->Name("RobustLockUnlock/SharedMutex");
BENCHMARK(robustPingPongRaw)->Name("RobustPingPong/raw")->UseRealTime();
BENCHMARK(robustPingPongOstrel)->Name("RobustPingPong/ostrel")->UseRealTime();
BENCHMARK(lockUnlockRaw)->Name("LockUnlock/raw");
BENCHMARK(lockUnlockOstrel)->Name("LockUnlock/ostrel");
BENCHMARK(upDownRaw)->Name("UpDown/raw");
BENCHMARK(upDownOstrel)->Name("UpDown/ostrel");
BENCHMARK(upTryDownRaw)->Name("UpTryDown/raw");
BENCHMARK(upTryDownOstrel<false>)->Name("UpTryDown/ostrel");
BENCHMARK(upTryDownRaw)->Name("UpDownForPositive/raw");
BENCHMARK(upTryDownOstrel<true>)->Name("UpDownForPositive/ostrel");
BENCHMARK(tryLockForZeroRaw)->Name("TryLockForZero/raw");
BENCHMARK(tryLockForZeroOstrel)->Name("TryLockForZero/ostrel");
BENCHMARK(allocateFreeRaw)->Name("AllocateFree4KiB/raw");
BENCHMARK(allocateFreeOstrel)->Name("AllocateFree4KiB/ostrel");
BENCHMARK(loadSymbolUnloadRaw)->Name("LoadSymbolUnload/raw");
BENCHMARK(loadSymbolUnloadOstrel)->Name("LoadSymbolUnload/ostrel");
BENCHMARK(pingPongOstrel)->Name("PingPong/ostrel")->UseRealTime();

BENCHMARK_MAIN();
