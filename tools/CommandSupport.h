// What more than one ostrel command does: handing the tool's arguments to the system information
// record (info, locate), loading a library (load, road), reading a time limit and telling why a
// program could not be started (run, lock).
#pragma once

#include "Arguments.h"

#include <Ostrel/DynamicLibrary.h>

#include <string>

#include <dlfcn.h>

namespace OstrelTool {

// Hands the environment name and the tool's own arguments ("ostrel", the command, its
// arguments) to the system information record.
void recordArguments(const std::string& envName, const char* command, const Args& args);

// Loads the library at path into library with the loader's flags (RTLD_LAZY when not given);
// throws DynamicLibrary::Exception as load does. The
// library prints the loader's text of a failed load on stdout as well as in its exception; the
// tool prints the exception on stderr, and this drops the copy on stdout.
void loadLibrary(Ostrel::DynamicLibrary& library, const std::string& path, int flags = RTLD_LAZY);

// The number that text gives in decimal digits, minimum to INT_MAX; throws UsageError "bad " +
// what + " \"TEXT\"" otherwise.
long parseNumber(const std::string& text, const char* what, long minimum);

// The milliseconds that text gives, 0 to INT_MAX; throws UsageError "bad number of milliseconds
// \"TEXT\"" otherwise.
long parseMilliseconds(const std::string& text);

// The exit code for a program that Command::start could not start with error: ExitNotFound,
// ExitNotRunnable or ExitRunFailed, as the shells tell them.
int startFailureCode(int error);

} // namespace OstrelTool
