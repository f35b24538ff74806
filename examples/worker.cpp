// A worker thread fed through a Semaphore and stopped with an Event.
//
// The main thread puts jobs into a queue guarded by a Mutex and counts each one up on the
// Semaphore; the worker counts down, takes a job and adds it up. To stop it, the main thread sets
// the Event (manual reset, so it stays set) and gives the Semaphore one more count so that a
// worker waiting for a job wakes up and sees the Event; then it waits at most five seconds for
// the worker to end.
//
// The queue and the sum are OSTREL_GUARDED_BY their Mutex and used only under an Ostrel::Locker:
// compiled with clang and -Wthread-safety, a use without the lock is an error.
#include <Ostrel/Event.h>
#include <Ostrel/Locker.h>
#include <Ostrel/Mutex.h>
#include <Ostrel/Semaphore.h>
#include <Ostrel/Thread.h>

#include <deque>
#include <iostream>
#include <optional>

class Worker : public Ostrel::Thread {
public:
    // A subclass whose body uses its own members joins in its own destructor: the base
    // destructor would run after the members are gone.
    ~Worker() override {
        if (running) {
            join();
        }
    }

    void post(int job) {
        {
            const Ostrel::Locker<Ostrel::Mutex> hold(queueLock);
            queue.push_back(job);
        }
        jobs.up();
    }

    void stop() {
        stopped.set();
        jobs.up(); // wakes the worker if it waits for a job
    }

    // The sum of the jobs done so far; read under the lock the worker writes it under.
    long total() {
        const Ostrel::Locker<Ostrel::Mutex> hold(queueLock);
        return sum;
    }

private:
    int main() override {
        Ostrel::Thread::setName("example-worker"); // as ps -L and debuggers show it
        for (;;) {
            jobs.down();
            if (stopped.test()) {
                return 0; // jobs still queued are dropped
            }
            const Ostrel::Locker<Ostrel::Mutex> hold(queueLock);
            sum += queue.front();
            queue.pop_front();
        }
    }

    Ostrel::Semaphore jobs{0};
    Ostrel::Event stopped{true, false};
    Ostrel::Mutex queueLock;
    std::deque<int> queue OSTREL_GUARDED_BY(queueLock);
    long sum OSTREL_GUARDED_BY(queueLock) = 0;
};

int main() {
    Worker worker;
    try {
        worker.start();
        for (int job = 1; job <= 100; ++job) {
            worker.post(job);
        }
        // Let the worker drain the queue before stopping it (a real program would count).
        while (worker.total() != 5050) {
            Ostrel::Thread::sleep(1);
        }
        worker.stop();
        const std::optional<int> code = worker.joinFor(5000);
        if (!code) {
            std::cerr << "the worker did not stop within 5 s\n";
            return 1;
        }
        std::cout << "worker ended with code " << *code << ", total " << worker.total() << '\n';
    } catch (const Ostrel::Thread::Exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
