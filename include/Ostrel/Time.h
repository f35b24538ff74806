/// \file
/// \brief Ostrel::getSystemTime - the wall clock; Ostrel::getMonotonicTime - the clock of the
/// timed operations.
#pragma once

#include <Ostrel/Export.h>

namespace Ostrel {

/// \defgroup getSystemTime Ostrel::getSystemTime
/// \details Declared in <Ostrel/Time.h>.
/// \{

/// The current wall-clock time in seconds since the Epoch, with microsecond resolution
/// (gettimeofday). It follows changes of the system clock, so two calls need not be ordered
/// when the clock is set back. Thread-safe; never throws.
OSTREL_API double getSystemTime() noexcept;

/// \}

/// \defgroup getMonotonicTime Ostrel::getMonotonicTime
/// \details Declared in <Ostrel/Time.h>.
/// \{

/// Seconds on the monotonic clock (CLOCK_MONOTONIC), with nanosecond resolution: from an
/// unspecified start, never set back or forward, so the difference of two calls is the time
/// that passed between them. Every timed operation of the library (Semaphore::downFor,
/// Event::waitFor, the tryLockFor functions, SharedSemaphore::downFor, Thread::joinFor) measures
/// its limit on this clock. Thread-safe; never throws; does not allocate.
OSTREL_API double getMonotonicTime() noexcept;

/// \}

} // namespace Ostrel
