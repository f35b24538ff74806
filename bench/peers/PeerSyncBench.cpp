// In-process synchronisation through Ostrel, the hand-written pthread sequences (bench/RawSync.h)
// and each peer's class for the same job, uncontended, one thread: a recursive mutex, the read
// and the write side of a readers-writer lock, a counting semaphore, an automatic-reset event,
// and a thread started and joined. Each side is a small struct naming its class and calls; the
// same struct drives the timing and the check that runs before it.
#include <Ostrel/Event.h>
#include <Ostrel/Mutex.h>
#include <Ostrel/RWLock.h>
#include <Ostrel/Semaphore.h>
#include <Ostrel/Thread.h>

#include "RawSync.h"
#include "peers/Peers.h"

#include <Poco/Event.h>
#include <Poco/Mutex.h>
#include <Poco/RWLock.h>
#include <Poco/Runnable.h>
#include <Poco/Semaphore.h>
#include <Poco/Thread.h>

#include <boost/interprocess/sync/interprocess_semaphore.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/shared_mutex.hpp>
#include <boost/thread/thread.hpp>

#include <QReadWriteLock>
#include <QRecursiveMutex>
#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <climits>
#include <mutex>
#include <optional>
#include <semaphore>
#include <shared_mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <semaphore.h>

namespace {

using OstrelPeers::add;
using OstrelPeers::expect;
using OstrelPeers::fromOtherThread;

// ---- Recursive mutex: lock + unlock -------------------------------------------------------

struct RawMutex {
    static constexpr const char* name = "raw:pthread_mutex_lock+unlock(recursive)";
    using Object = OstrelBench::RawRecursiveMutex;
    static void lock(Object& m) { pthread_mutex_lock(&m.mutex); }
    static void unlock(Object& m) { pthread_mutex_unlock(&m.mutex); }
    static bool tryLock(Object& m) { return pthread_mutex_trylock(&m.mutex) == 0; }
};
struct OstrelMutex {
    static constexpr const char* name = "ostrel:Mutex::lock+unlock";
    using Object = Ostrel::Mutex;
    static void lock(Object& m) { m.lock(); }
    static void unlock(Object& m) { m.unlock(); }
    static bool tryLock(Object& m) { return m.tryLock(); }
};
// Poco::Mutex is recursive (Poco::FastMutex is the one that is not).
struct PocoMutex {
    static constexpr const char* name = "poco:Poco::Mutex::lock+unlock";
    using Object = Poco::Mutex;
    static void lock(Object& m) { m.lock(); }
    static void unlock(Object& m) { m.unlock(); }
    static bool tryLock(Object& m) { return m.tryLock(); }
};
struct BoostMutex {
    static constexpr const char* name = "boost:boost::recursive_mutex::lock+unlock";
    using Object = boost::recursive_mutex;
    static void lock(Object& m) { m.lock(); }
    static void unlock(Object& m) { m.unlock(); }
    static bool tryLock(Object& m) { return m.try_lock(); }
};
struct QtMutex {
    static constexpr const char* name = "qt:QRecursiveMutex::lock+unlock";
    using Object = QRecursiveMutex;
    static void lock(Object& m) { m.lock(); }
    static void unlock(Object& m) { m.unlock(); }
    static bool tryLock(Object& m) { return m.tryLock(); }
};
struct StdMutex {
    static constexpr const char* name = "std:std::recursive_mutex::lock+unlock";
    using Object = std::recursive_mutex;
    static void lock(Object& m) { m.lock(); }
    static void unlock(Object& m) { m.unlock(); }
    static bool tryLock(Object& m) { return m.try_lock(); }
};

template <class Side> void recursiveLock(benchmark::State& state) {
    typename Side::Object m;
    for (auto _ : state) {
        Side::lock(m);
        Side::unlock(m);
        benchmark::ClobberMemory();
    }
}

// Taken twice by this thread, the mutex excludes another thread until the second unlock.
template <class Side> void checkRecursiveLock() {
    typename Side::Object m;
    const auto other = [&m] {
        const bool taken = Side::tryLock(m);
        if (taken) {
            Side::unlock(m);
        }
        return taken;
    };
    Side::lock(m);
    Side::lock(m);
    const bool excluded = !fromOtherThread(other);
    Side::unlock(m);
    const bool stillExcluded = !fromOtherThread(other);
    Side::unlock(m);
    expect(excluded && stillExcluded && fromOtherThread(other), "RecursiveMutex", Side::name);
}

// ---- Readers-writer lock: read lock + unlock, write lock + unlock --------------------------

struct RawRW {
    static constexpr const char* read = "raw:pthread_rwlock_rdlock+unlock";
    static constexpr const char* write = "raw:pthread_rwlock_wrlock+unlock";
    using Object = OstrelBench::RawRWLock;
    static void readLock(Object& l) { pthread_rwlock_rdlock(&l.rwlock); }
    static void readUnlock(Object& l) { pthread_rwlock_unlock(&l.rwlock); }
    static void writeLock(Object& l) { pthread_rwlock_wrlock(&l.rwlock); }
    static void writeUnlock(Object& l) { pthread_rwlock_unlock(&l.rwlock); }
    static bool tryRead(Object& l) { return pthread_rwlock_tryrdlock(&l.rwlock) == 0; }
    static bool tryWrite(Object& l) { return pthread_rwlock_trywrlock(&l.rwlock) == 0; }
};
struct OstrelRW {
    static constexpr const char* read = "ostrel:RWLock::readLock+unlock";
    static constexpr const char* write = "ostrel:RWLock::writeLock+unlock";
    using Object = Ostrel::RWLock;
    static void readLock(Object& l) { l.readLock(); }
    static void readUnlock(Object& l) { l.unlock(); }
    static void writeLock(Object& l) { l.writeLock(); }
    static void writeUnlock(Object& l) { l.unlock(); }
    static bool tryRead(Object& l) { return l.tryReadLock(); }
    static bool tryWrite(Object& l) { return l.tryWriteLock(); }
};
struct PocoRW {
    static constexpr const char* read = "poco:Poco::RWLock::readLock+unlock";
    static constexpr const char* write = "poco:Poco::RWLock::writeLock+unlock";
    using Object = Poco::RWLock;
    static void readLock(Object& l) { l.readLock(); }
    static void readUnlock(Object& l) { l.unlock(); }
    static void writeLock(Object& l) { l.writeLock(); }
    static void writeUnlock(Object& l) { l.unlock(); }
    static bool tryRead(Object& l) { return l.tryReadLock(); }
    static bool tryWrite(Object& l) { return l.tryWriteLock(); }
};
struct BoostRW {
    static constexpr const char* read = "boost:boost::shared_mutex::lock_shared+unlock_shared";
    static constexpr const char* write = "boost:boost::shared_mutex::lock+unlock";
    using Object = boost::shared_mutex;
    static void readLock(Object& l) { l.lock_shared(); }
    static void readUnlock(Object& l) { l.unlock_shared(); }
    static void writeLock(Object& l) { l.lock(); }
    static void writeUnlock(Object& l) { l.unlock(); }
    static bool tryRead(Object& l) { return l.try_lock_shared(); }
    static bool tryWrite(Object& l) { return l.try_lock(); }
};
struct QtRW {
    static constexpr const char* read = "qt:QReadWriteLock::lockForRead+unlock";
    static constexpr const char* write = "qt:QReadWriteLock::lockForWrite+unlock";
    using Object = QReadWriteLock;
    static void readLock(Object& l) { l.lockForRead(); }
    static void readUnlock(Object& l) { l.unlock(); }
    static void writeLock(Object& l) { l.lockForWrite(); }
    static void writeUnlock(Object& l) { l.unlock(); }
    static bool tryRead(Object& l) { return l.tryLockForRead(); }
    static bool tryWrite(Object& l) { return l.tryLockForWrite(); }
};
struct StdRW {
    static constexpr const char* read = "std:std::shared_mutex::lock_shared+unlock_shared";
    static constexpr const char* write = "std:std::shared_mutex::lock+unlock";
    using Object = std::shared_mutex;
    static void readLock(Object& l) { l.lock_shared(); }
    static void readUnlock(Object& l) { l.unlock_shared(); }
    static void writeLock(Object& l) { l.lock(); }
    static void writeUnlock(Object& l) { l.unlock(); }
    static bool tryRead(Object& l) { return l.try_lock_shared(); }
    static bool tryWrite(Object& l) { return l.try_lock(); }
};

template <class Side> void readLock(benchmark::State& state) {
    typename Side::Object l;
    for (auto _ : state) {
        Side::readLock(l);
        Side::readUnlock(l);
        benchmark::ClobberMemory();
    }
}

template <class Side> void writeLock(benchmark::State& state) {
    typename Side::Object l;
    for (auto _ : state) {
        Side::writeLock(l);
        Side::writeUnlock(l);
        benchmark::ClobberMemory();
    }
}

// A read lock lets another reader in and keeps a writer out; a write lock keeps both out; after
// each unlock a writer gets in.
template <class Side> void checkRWLock() {
    typename Side::Object l;
    const auto reader = [&l] {
        const bool taken = Side::tryRead(l);
        if (taken) {
            Side::readUnlock(l);
        }
        return taken;
    };
    const auto writer = [&l] {
        const bool taken = Side::tryWrite(l);
        if (taken) {
            Side::writeUnlock(l);
        }
        return taken;
    };
    Side::readLock(l);
    const bool shared = fromOtherThread(reader) && !fromOtherThread(writer);
    Side::readUnlock(l);
    expect(shared && fromOtherThread(writer), "ReadLock", Side::read);
    Side::writeLock(l);
    const bool exclusive = !fromOtherThread(reader) && !fromOtherThread(writer);
    Side::writeUnlock(l);
    expect(exclusive && fromOtherThread(writer), "WriteLock", Side::write);
}

// ---- Counting semaphore: up + down ---------------------------------------------------------

struct RawSem {
    static constexpr const char* name = "raw:mutex+condition(as Semaphore)";
    using Object = OstrelBench::RawSemaphore;
    static void up(Object& s) { s.up(); }
    static void down(Object& s) { s.down(); }
    static bool tryDown(Object& s) { return s.tryDown(); }
};
struct OstrelSem {
    static constexpr const char* name = "ostrel:Semaphore::up+down";
    struct Object : Ostrel::Semaphore {
        Object() : Ostrel::Semaphore(0) {}
    };
    static void up(Object& s) { s.up(); }
    static void down(Object& s) { s.down(); }
    static bool tryDown(Object& s) { return s.tryDown(); }
};
// Poco::Semaphore has a maximum; set() beyond it throws.
struct PocoSem {
    static constexpr const char* name = "poco:Poco::Semaphore::set+wait";
    struct Object : Poco::Semaphore {
        Object() : Poco::Semaphore(0, INT_MAX) {}
    };
    static void up(Object& s) { s.set(); }
    static void down(Object& s) { s.wait(); }
    static bool tryDown(Object& s) { return s.tryWait(0); }
};
// Boost.Thread has no semaphore; Boost.Interprocess's also serves threads of one process.
struct BoostSem {
    static constexpr const char* name = "boost:interprocess_semaphore::post+wait";
    struct Object : boost::interprocess::interprocess_semaphore {
        Object() : boost::interprocess::interprocess_semaphore(0) {}
    };
    static void up(Object& s) { s.post(); }
    static void down(Object& s) { s.wait(); }
    static bool tryDown(Object& s) { return s.try_wait(); }
};
struct QtSem {
    static constexpr const char* name = "qt:QSemaphore::release+acquire";
    using Object = QSemaphore;
    static void up(Object& s) { s.release(); }
    static void down(Object& s) { s.acquire(); }
    static bool tryDown(Object& s) { return s.tryAcquire(); }
};
struct StdSem {
    static constexpr const char* name = "std:std::counting_semaphore::release+acquire";
    struct Object : std::counting_semaphore<> {
        Object() : std::counting_semaphore<>(0) {}
    };
    static void up(Object& s) { s.release(); }
    static void down(Object& s) { s.acquire(); }
    static bool tryDown(Object& s) { return s.try_acquire(); }
};
// An unnamed POSIX semaphore: the platform's other counting semaphore, for information.
struct PosixSem {
    static constexpr const char* name = "posix:sem_post+sem_wait(unnamed)";
    struct Object {
        Object() { sem_init(&sem, 0, 0); }
        ~Object() { sem_destroy(&sem); }
        Object(const Object&) = delete;
        Object& operator=(const Object&) = delete;
        sem_t sem;
    };
    static void up(Object& s) { sem_post(&s.sem); }
    static void down(Object& s) { sem_wait(&s.sem); }
    static bool tryDown(Object& s) { return sem_trywait(&s.sem) == 0; }
};

// ---- Automatic-reset event: set + wait -----------------------------------------------------
// Neither Boost nor Qt has an event class (a flag under a mutex with a condition is what they
// offer, which is the raw variant).

struct RawEvent {
    static constexpr const char* name = "raw:mutex+condition(as Event)";
    using Object = OstrelBench::RawEvent;
    static void up(Object& e) { e.set(); }
    static void down(Object& e) { e.wait(); }
    static bool tryDown(Object& e) { return e.tryWait(); }
};
struct OstrelEvent {
    static constexpr const char* name = "ostrel:Event::set+wait(automatic reset)";
    struct Object : Ostrel::Event {
        Object() : Ostrel::Event(false, false) {}
    };
    static void up(Object& e) { e.set(); }
    static void down(Object& e) { e.wait(); }
    static bool tryDown(Object& e) { return e.waitFor(0); }
};
struct PocoEvent {
    static constexpr const char* name = "poco:Poco::Event::set+wait(EVENT_AUTORESET)";
    struct Object : Poco::Event {
        Object() : Poco::Event(Poco::Event::EVENT_AUTORESET) {}
    };
    static void up(Object& e) { e.set(); }
    static void down(Object& e) { e.wait(); }
    static bool tryDown(Object& e) { return e.tryWait(0); }
};

// Semaphores and events alike: one up (set), then one down (wait) that finds it.
template <class Side> void upDown(benchmark::State& state) {
    typename Side::Object s;
    for (auto _ : state) {
        Side::up(s);
        Side::down(s);
        benchmark::ClobberMemory();
    }
}

// up then down leaves nothing to take; another up leaves exactly one.
template <class Side> void checkUpDown(const std::string& row) {
    typename Side::Object s;
    Side::up(s);
    Side::down(s);
    const bool empty = !Side::tryDown(s);
    Side::up(s);
    const bool one = Side::tryDown(s);
    expect(empty && one && !Side::tryDown(s), row, Side::name);
}

// ---- Thread start + join -------------------------------------------------------------------
// Every body counts its runs, so that the check sees it ran once per start. Objects that can be
// started again after a join (Ostrel::Thread, Poco::Thread, QThread) are made once; a
// boost::thread or std::thread runs one function from its construction, so it is made for each
// start.

std::atomic<long> bodyRuns{0};

void* rawBody(void*) {
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    bodyRuns.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

// The attributes Ostrel::Thread sets up: joinable, system contention scope.
struct RawThread {
    static constexpr const char* name = "raw:pthread_create+pthread_join";
    struct Object {
        Object() {
            pthread_attr_init(&attr);
            pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
        }
        ~Object() { pthread_attr_destroy(&attr); }
        Object(const Object&) = delete;
        Object& operator=(const Object&) = delete;
        pthread_attr_t attr;
        pthread_t id{};
    };
    static void start(Object& t) { pthread_create(&t.id, &t.attr, rawBody, nullptr); }
    static void join(Object& t) { pthread_join(t.id, nullptr); }
};
struct OstrelThread {
    static constexpr const char* name = "ostrel:Thread::start+join";
    struct Object : Ostrel::Thread {
        int main() override {
            bodyRuns.fetch_add(1, std::memory_order_relaxed);
            return 0;
        }
    };
    static void start(Object& t) { t.start(); }
    static void join(Object& t) { t.join(); }
};
struct PocoThread {
    static constexpr const char* name = "poco:Poco::Thread::start(Runnable)+join";
    struct Body : Poco::Runnable {
        void run() override { bodyRuns.fetch_add(1, std::memory_order_relaxed); }
    };
    struct Object {
        Poco::Thread thread;
        Body body;
    };
    static void start(Object& t) { t.thread.start(t.body); }
    static void join(Object& t) { t.thread.join(); }
};
struct BoostThread {
    static constexpr const char* name = "boost:boost::thread(function)+join";
    using Object = std::optional<boost::thread>;
    static void start(Object& t) {
        t.emplace([] { bodyRuns.fetch_add(1, std::memory_order_relaxed); });
    }
    static void join(Object& t) { t->join(); }
};
struct QtThread {
    static constexpr const char* name = "qt:QThread::start+wait";
    struct Object : QThread {
        void run() override { bodyRuns.fetch_add(1, std::memory_order_relaxed); }
    };
    static void start(Object& t) { t.start(); }
    static void join(Object& t) { t.wait(); }
};
struct StdThread {
    static constexpr const char* name = "std:std::thread(function)+join";
    using Object = std::optional<std::thread>;
    static void start(Object& t) {
        t.emplace([] { bodyRuns.fetch_add(1, std::memory_order_relaxed); });
    }
    static void join(Object& t) { t->join(); }
};

template <class Side> void startJoin(benchmark::State& state) {
    typename Side::Object t;
    for (auto _ : state) {
        Side::start(t);
        Side::join(t);
    }
}

// Two starts and joins run the body twice, each run finished when join returns.
template <class Side> void checkStartJoin() {
    typename Side::Object t;
    const long before = bodyRuns.load();
    Side::start(t);
    Side::join(t);
    const bool once = bodyRuns.load() == before + 1;
    Side::start(t);
    Side::join(t);
    expect(once && bodyRuns.load() == before + 2, "ThreadStartJoin", Side::name);
}

// ---- The rows: each checks its sides, then registers them -----------------------------------

template <class... Sides> void recursiveMutexRow() {
    (checkRecursiveLock<Sides>(), ...);
    (add(std::string("RecursiveMutex/") + Sides::name, recursiveLock<Sides>), ...);
}
template <class... Sides> void rwLockRows() {
    (checkRWLock<Sides>(), ...);
    (add(std::string("ReadLock/") + Sides::read, readLock<Sides>), ...);
    (add(std::string("WriteLock/") + Sides::write, writeLock<Sides>), ...);
}
template <class... Sides> void upDownRow(const std::string& row) {
    (checkUpDown<Sides>(row), ...);
    (add(row + "/" + Sides::name, upDown<Sides>), ...);
}
template <class... Sides> void startJoinRow() {
    (checkStartJoin<Sides>(), ...);
    (add(std::string("ThreadStartJoin/") + Sides::name, startJoin<Sides>)->UseRealTime(), ...);
}

void rows() {
    recursiveMutexRow<RawMutex, OstrelMutex, PocoMutex, BoostMutex, QtMutex, StdMutex>();
    rwLockRows<RawRW, OstrelRW, PocoRW, BoostRW, QtRW, StdRW>();
    upDownRow<RawSem, OstrelSem, PocoSem, BoostSem, QtSem, StdSem, PosixSem>("SemaphoreUpDown");
    upDownRow<RawEvent, OstrelEvent, PocoEvent>("EventSetWait");
    startJoinRow<RawThread, OstrelThread, PocoThread, BoostThread, QtThread, StdThread>();
}

} // namespace

int main(int argc, char** argv) {
    return OstrelPeers::run(argc, argv, rows);
}
