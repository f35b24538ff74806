// Fault wrappers for directory scanning: opendir, readdir_r.
#include "Fault.h"

#include <cerrno>

#include <dirent.h>

extern "C" {

DIR* opendir(const char* name) {
    if (const int error = ostrelFaultCheck("opendir")) {
        errno = error;
        return nullptr;
    }
    return OstrelFault::real<decltype(&opendir)>("opendir")(name);
}

// readdir_r is deprecated in the C library's header, but it is the call the scan makes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// The reader reports an error as its result and leaves no entry.
int readdir_r(DIR* stream, struct dirent* entry, struct dirent** result) {
    if (const int error = ostrelFaultCheck("readdir_r")) {
        *result = nullptr;
        return error;
    }
    return OstrelFault::real<decltype(&readdir_r)>("readdir_r")(stream, entry, result);
}
#pragma GCC diagnostic pop

} // extern "C"
