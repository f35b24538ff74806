// Fault injection for the tests.
//
// libostrel_fault.so defines functions with the names of system calls. A test program that links
// it ahead of the C library (see tests/CMakeLists.txt) has every call of those names, the
// library's included, pass through the shim, which either forwards to the real function or makes
// the call fail with a chosen errno.
//
// What fails is set by a rule list, "name:nth:errno[,name:nth:errno...]": call number nth
// (counted from 1 since the rules were set) of the function name fails with errno; "nth+" makes
// that call and every later one fail. Example: "uname:1:14,sysconf:1+:22". A rule whose third
// field is "=value" instead ("sysconf:1:=0") makes the call return that value without failing;
// only wrappers that use ostrelFaultCheckValue honour it, the others forward. The rules come from
// the environment variable OSTREL_FAULT when the shim is loaded (so a program the test starts
// inherits them), and are replaced by ostrelFaultSet. Not thread-safe: set the rules before the
// calls they concern start, typically in a forked child.
#pragma once

#include <dlfcn.h>

extern "C" {
// Replaces the rules (null or "" clears them) and restarts every call count.
void ostrelFaultSet(const char* rules);
// For the wrappers: counts this call of name and returns the errno it must fail with, or 0.
int ostrelFaultCheck(const char* name);
// Like ostrelFaultCheck, but a matching "=value" rule returns -1 and stores value in *value.
int ostrelFaultCheckValue(const char* name, long* value);
}

namespace OstrelFault {

// The next definition of the function after the shim's own: the real system call.
template <class Function> Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace OstrelFault
