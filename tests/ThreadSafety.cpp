// Compiled, not run: clang's -Wthread-safety rejects add() touching total without its lock, and
// accepts it under a Locker (-DAcceptsLocker). The lock headers themselves compile cleanly, and a
// FileLock guards data exclusively through a Locker and shared through its own calls.
#include <Ostrel/FileLock.h>
#include <Ostrel/Locker.h>
#include <Ostrel/Mutex.h>
#include <Ostrel/SharedMutex.h>

struct Account {
    Ostrel::Mutex lock;
    Ostrel::RWLock table;
    long total OSTREL_GUARDED_BY(lock) = 0;
    long rows OSTREL_GUARDED_BY(table) = 0;
    void add(long n) {
#ifdef AcceptsLocker
        const Ostrel::Locker<Ostrel::Mutex> hold(lock);
#endif
        total += n;
    }
    long count() {
        const Ostrel::ReadLocker reading(table);
        return rows;
    }
};

struct Cache {
    Ostrel::FileLock file{"cache.lock"};
    long entries OSTREL_GUARDED_BY(file) = 0;
    void add() {
        const Ostrel::Locker<Ostrel::FileLock> hold(file);
        ++entries;
    }
    long count() {
        if (!file.tryLockShared()) {
            return -1;
        }
        const long seen = entries;
        file.unlock();
        return seen;
    }
};
