// A count of the heap allocations made through operator new since the program started.
#pragma once

#include <cstdint>

namespace OstrelBench {

std::uint64_t allocationCount() noexcept;

} // namespace OstrelBench
