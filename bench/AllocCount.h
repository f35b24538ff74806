// Heap allocations of a benchmark: every operator new of the program is counted (AllocCount.cpp
// replaces it), and an AllocCounter reports those made while it lived as the counter "allocs",
// per iteration.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

namespace OstrelBench {

// The operator new calls since the program started.
std::uint64_t allocationCount() noexcept;

// Made before the benchmark loop, in the same scope: on leaving it, reports the allocations per
// iteration.
class AllocCounter {
public:
    explicit AllocCounter(benchmark::State& state) : state(state), start(allocationCount()) {}
    ~AllocCounter() {
        const double made = static_cast<double>(allocationCount() - start);
        const auto iterations = state.iterations() != 0 ? state.iterations() : 1;
        state.counters["allocs"] = benchmark::Counter(made / static_cast<double>(iterations));
    }
    AllocCounter(const AllocCounter&) = delete;
    AllocCounter& operator=(const AllocCounter&) = delete;

private:
    benchmark::State& state;
    const std::uint64_t start;
};

} // namespace OstrelBench
