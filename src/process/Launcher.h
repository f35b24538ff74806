// The two roads by which Command::start() runs a program: posix_spawn, and the library's own
// launcher for what posix_spawn cannot do (the parent-death signal, closing descriptors where the
// C library has no posix_spawn_file_actions_addclosefrom_np, descriptors passed far above the
// standard ones). Both take the same ChildSetup, made ready by start() in the caller, and report
// the same texts. Internal: neither installed nor exported.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace Ostrel::internal {

// One standard stream of the child: a descriptor copied onto it, /dev/null opened for it, or
// (neither) the caller's. The source of standard error may be 1: the child's standard output.
struct StreamSetup {
    int source = -1;
    bool null = false;
};

// Everything the child needs, ready before it exists: the child only makes system calls.
struct ChildSetup {
    std::vector<char*> argv;     // null-terminated; argv[0] is the program as given
    char* const* envp = nullptr; // null-terminated
    bool searchPath = false;     // look argv[0] up in the caller's PATH (no "/" in it)
    const char* directory = nullptr;
    StreamSetup streams[3];
    // (source, target) in the order given; every source is above every target.
    std::vector<std::pair<int, int>> passed;
    bool newGroup = false;
    bool newSession = false;
    bool restoreSignals = true;
    int deathSignal = 0;
};

// The highest target of setup.passed, or 2 without any.
int highestTarget(const ChildSetup& setup) noexcept;

// True when posix_spawn can start setup on this system: no parent-death signal, a C library that
// closes descriptors in the child, and targets low enough to close the gaps between them one by
// one.
bool spawnCanStart(const ChildSetup& setup) noexcept;

// Starts setup with posix_spawn (or posix_spawnp); its process id. Throws Command::Exception.
pid_t spawnChild(const ChildSetup& setup);

// Starts setup through the own launcher; its process id. Throws Command::Exception.
pid_t launchChild(const ChildSetup& setup);

// The error that keeps a child from entering path, 0 when it can: looked at in the caller after
// a start failed, so that a directory is not reported as a missing program.
int enterError(const char* path) noexcept;

} // namespace Ostrel::internal
