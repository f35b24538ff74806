// Fault injection: libostrel_fault.so defines functions named after system calls. A test program
// linked with it ahead of the C library has every call of those names, the library's included,
// fail as a rule says or go on to the real function.
#pragma once

#include <initializer_list>

namespace OstrelFault {

struct Rule {
    const char* call;
    int error;   // the errno it fails with
    int nth = 1; // the call that fails, counted from 1 since the rules were set
};

// The rules (at most 8) hold while it lives. Not thread-safe: set them before the calls they
// concern.
class Inject {
public:
    Inject(std::initializer_list<Rule> given);
    ~Inject();
    Inject(const Inject&) = delete;
    Inject& operator=(const Inject&) = delete;
};

// The calls of call counted by the rule named after it so far (a rule with error 0 only counts).
long callCount(const char* call);

// When the last call counted by the rule named after call came, as its place among the calls that
// all rules counted (1, 2, ...); 0 before its first. Tells which of two calls came last.
long lastCall(const char* call);

// From now on, gettimeofday and clock_gettime(CLOCK_REALTIME) report the wall clock as if it had
// been set by seconds (back when negative), until shifted by 0; every other clock stays.
void shiftWallClock(long seconds);

// While on, readdir reports the type of every entry as DT_UNKNOWN, as XFS without ftype and some
// network and FUSE file systems do.
void reportUnknownTypes(bool on);

// While set, hook(path) runs before every opendir(path) of the process, so that a test can change
// a directory between two calls of the library; null ends it.
void beforeOpendir(void (*hook)(const char* path));

// The limit given to the last call of poll, of any thread.
int lastPollTimeout();

} // namespace OstrelFault
