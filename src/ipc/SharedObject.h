// Opening a named POSIX shared-memory object so that the caller knows whether it made it.
// Internal: neither installed nor exported.
#pragma once

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/types.h>

namespace Ostrel::internal {

// The object objectName ("/" + name) open for reading and writing: created exclusively with mode
// (reduced by the umask) when it does not exist, joined otherwise; an object removed between the
// refused creation and the opening is created anew. The descriptor, or -1 with errno set; created
// tells whether this call made the object.
inline int openOrCreateShared(const std::string& objectName, mode_t mode, bool& created) {
    for (;;) {
        int fd = ::shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
        if (fd != -1 || errno != EEXIST) {
            created = fd != -1;
            return fd;
        }
        fd = ::shm_open(objectName.c_str(), O_RDWR, 0);
        if (fd != -1 || errno != ENOENT) {
            created = false;
            return fd;
        }
    }
}

} // namespace Ostrel::internal
