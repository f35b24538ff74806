/// \file
/// \brief Ostrel::getSystemTime - the wall clock.
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

} // namespace Ostrel
