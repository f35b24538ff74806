// A producer and a consumer process sharing a ring buffer in SharedMemory, guarded by a
// SharedMutex and counted by two SharedSemaphores (free slots and filled slots).
//
// The producer (this program without arguments) starts the consumer (this program again, with
// the run's base name) as a child Process; all names are unique per run. Every construction of a
// SharedMutex re-initialises the lock and every destruction destroys it, so a third semaphore
// holds the producer back until the consumer has built its objects, and again until it has
// unlocked for the last time. The producer then removes all five named objects itself.
#include <Ostrel/Process.h>
#include <Ostrel/SharedMemory.h>
#include <Ostrel/SharedMutex.h>
#include <Ostrel/SharedSemaphore.h>
#include <Ostrel/SysInfo.h>

#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <iostream>
#include <string>

namespace {
constexpr int slotCount = 8;
constexpr int itemCount = 1000;

struct Ring { // lives in the shared memory: plain data only, no pointers
    int head;
    int tail;
    int slots[slotCount];
};

// One side of the exchange: the objects every process opens under the same names.
int run(const std::string& base, bool producer) {
    Ostrel::SharedMemory memory;
    memory.allocate((base + "-ring").c_str(), sizeof(Ring)); // new objects are zero-filled
    Ostrel::SharedMutex guard((base + "-lock").c_str());
    Ostrel::SharedSemaphore freeSlots((base + "-free").c_str(), slotCount);
    Ostrel::SharedSemaphore filled((base + "-filled").c_str(), 0);
    Ostrel::SharedSemaphore ready((base + "-ready").c_str(), 0);
    auto* ring = static_cast<Ring*>(memory.address());
    long sum = 0;
    if (producer) {
        ready.down(); // the consumer's SharedMutex is built: locking is safe from now on
        for (int item = 1; item <= itemCount; ++item) {
            freeSlots.down();
            guard.lock();
            ring->slots[ring->head++ % slotCount] = item;
            guard.unlock();
            filled.up();
        }
        ready.down(); // the consumer has unlocked for the last time: destroying the lock is safe
        return 0;
    }
    ready.up();
    for (int count = 0; count < itemCount; ++count) {
        filled.down();
        guard.lock();
        sum += ring->slots[ring->tail++ % slotCount];
        guard.unlock();
        freeSlots.up();
    }
    ready.up();
    std::cout << "consumer " << getpid() << ": sum " << sum << std::endl;
    return sum == long(itemCount) * (itemCount + 1) / 2 ? 0 : 1;
}
} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 2) {
            return run(argv[1], false); // the consumer
        }
        const std::string base = "ostrel-example-" + std::to_string(getpid());
        // The consumer is this very program: SysInfo knows its absolute path.
        std::string self = Ostrel::SysInfo::the()->appName;
        std::string name = base;
        char* consumerArgv[] = {self.data(), name.data(), nullptr};
        Ostrel::Process consumer;
        std::cout.flush(); // nothing buffered may be copied into the child
        consumer.start(consumerArgv);
        int result = run(base, true);
        const int consumerCode = consumer.join();
        // Named objects outlive every process: remove them, the library never does.
        for (const char* suffix : {"-ring", "-lock"}) {
            shm_unlink(("/" + base + suffix).c_str());
        }
        for (const char* suffix : {"-free", "-filled", "-ready"}) {
            sem_unlink(("/" + base + suffix).c_str());
        }
        std::cout << "producer: consumer ended with code " << consumerCode << '\n';
        return result != 0 ? result : consumerCode;
    } catch (const Ostrel::SharedMemory::Exception& e) {
        std::cerr << e.what() << '\n';
    } catch (const Ostrel::Process::Exception& e) {
        std::cerr << e.what() << '\n';
    }
    return 1;
}
