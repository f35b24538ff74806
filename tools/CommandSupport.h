// What more than one ostrel command does: handing the tool's arguments to the system information
// record (info, locate) and loading a library (load, road).
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

} // namespace OstrelTool
