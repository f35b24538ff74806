// Fault wrapper for DynamicLibrary: dlclose.
#include "Fault.h"

#include <cerrno>

extern "C" int dlclose(void* handle) noexcept {
    if (const int error = ostrelFaultCheck("dlclose")) {
        // The loader reports through dlerror, not errno. A failing dlclose leaves a text
        // pending, as the real one does: the wrapper provokes one by looking up a symbol that
        // no library defines. The library stays loaded.
        (void)dlsym(handle, "ostrelFaultDlclose");
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&dlclose)>("dlclose")(handle);
}
