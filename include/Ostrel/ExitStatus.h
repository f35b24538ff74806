/// \file
/// \brief The public header of Ostrel::ExitStatus.

/// \struct Ostrel::ExitStatus
/// \brief How a child process ended: by exiting with a code, or by a signal.
///
/// Child::wait() and Child::waitFor() return it. Exactly one of the two endings holds: exited
/// with code (0..255) and signal 0, or not exited with the ending signal and code 0. A plain
/// value: nothing here throws, prints or keeps state beyond its members.
#pragma once

#include <Ostrel/Export.h>

namespace Ostrel {

struct OSTREL_API ExitStatus {
    /// True when the child ended by exiting (return from main, exit(), _exit()).
    bool exited = false;
    /// The exit code, 0..255; 0 when a signal ended the child.
    int code = 0;
    /// The signal that ended the child; 0 when it exited.
    int signal = 0;
    /// True when the signal that ended the child made it dump core.
    bool coreDumped = false;

    /// What a shell reports as $?: the exit code, or 128 + the signal.
    int shellCode() const noexcept;
};

} // namespace Ostrel
