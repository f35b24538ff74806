/// \file
/// \brief Ostrel::getSystemTime - the wall clock; Ostrel::getMonotonicTime - the clock of the
/// timed operations.
#pragma once

#include <Ostrel/Export.h>

#include <chrono>
#include <climits>
#include <ratio>
#include <type_traits>

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

/// \cond INTERNAL
namespace detail {

// The limit in whole milliseconds that a timed operation takes for a std::chrono duration:
// rounded up, so that the wait is never shorter than asked; 0 for a duration of 0 or less (or
// not a number); ULONG_MAX, which the timed operations take as no limit, for one as long or
// longer. Integer counts are converted exactly, whatever their period (a double would round
// 9e18 nanoseconds and 1 down to 9e12 milliseconds); floating ones are taken as they stand.
template <class Rep, class Period>
unsigned long toMilliseconds(const std::chrono::duration<Rep, Period>& duration) {
    using PerTick = std::ratio_divide<Period, std::milli>; // milliseconds in one tick
    if constexpr (std::is_integral_v<Rep>) {
        static_assert(PerTick::num <= ULLONG_MAX / PerTick::den, "a period too odd to convert");
        if (duration.count() <= 0) {
            return 0;
        }
        constexpr unsigned long long num = PerTick::num, den = PerTick::den;
        const auto ticks = static_cast<unsigned long long>(duration.count());
        const unsigned long long whole = ticks / den;
        if (whole > ULONG_MAX / num) {
            return ULONG_MAX;
        }
        // The ticks left over give less than num milliseconds, and rest * num cannot overflow.
        const unsigned long long rest = ticks % den * num;
        const unsigned long long part = rest / den + (rest % den != 0 ? 1 : 0);
        const unsigned long long total = whole * num;
        return total > ULONG_MAX - part ? ULONG_MAX : static_cast<unsigned long>(total + part);
    } else {
        const double milliseconds = std::chrono::duration<double, std::milli>(duration).count();
        if (!(milliseconds > 0)) {
            return 0;
        }
        if (milliseconds >= static_cast<double>(ULONG_MAX)) {
            return ULONG_MAX;
        }
        const auto whole = static_cast<unsigned long>(milliseconds);
        return static_cast<double>(whole) < milliseconds ? whole + 1 : whole;
    }
}

// tryFor(milliseconds) until the time point of any clock: once at least, so a past time point
// means "try once"; again while that clock, which may be set during the wait, has not reached it.
// A tryFor that gives up before its time failed (a lock its caller holds) and is not repeated.
template <class Clock, class Duration, class TryFor>
bool tryUntil(const std::chrono::time_point<Clock, Duration>& limit, TryFor tryFor) {
    for (;;) {
        const auto now = Clock::now();
        const unsigned long milliseconds = now < limit ? toMilliseconds(limit - now) : 0;
        const auto start = std::chrono::steady_clock::now();
        if (tryFor(milliseconds)) {
            return true;
        }
        const std::chrono::duration<double, std::milli> spent =
            std::chrono::steady_clock::now() - start;
        if (!(Clock::now() < limit) || spent.count() < static_cast<double>(milliseconds)) {
            return false;
        }
    }
}

} // namespace detail
/// \endcond

} // namespace Ostrel
