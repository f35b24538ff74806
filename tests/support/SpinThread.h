// A thread body for cancellation tests.
#pragma once

#include <Ostrel/Thread.h>

#include <atomic>

namespace OstrelTest {

// Spins without locks or allocation, so that asynchronous cancellation is safe at any point.
// spins counts the turns, so a test can wait until the body really runs.
class SpinThread : public Ostrel::Thread {
public:
    ~SpinThread() override {
        if (running) {
            (void)join();
        }
    }
    int main() override {
        for (;;) {
            spins.fetch_add(1, std::memory_order_relaxed);
        }
    }
    std::atomic<long> spins{0};
};

} // namespace OstrelTest
