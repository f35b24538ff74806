// Fault wrappers for the system queries behind the SysInfo record.
#include "Fault.h"

#include <cerrno>

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

extern "C" {

ssize_t readlink(const char* path, char* buffer, size_t size) noexcept {
    if (const int error = ostrelFaultCheck("readlink")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&readlink)>("readlink")(path, buffer, size);
}

int uname(struct utsname* name) noexcept {
    if (const int error = ostrelFaultCheck("uname")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&uname)>("uname")(name);
}

// getpwuid_r reports its failure as the result, not through errno, and leaves no entry. A
// "=value" rule returns value with no entry: "=0" is a user id missing from the database.
int getpwuid_r(uid_t uid, struct passwd* entry, char* buffer, size_t size, struct passwd** result) {
    long value = 0;
    if (const int check = ostrelFaultCheckValue("getpwuid_r", &value)) {
        *result = nullptr;
        return check > 0 ? check : static_cast<int>(value);
    }
    return OstrelFault::real<decltype(&getpwuid_r)>("getpwuid_r")(uid, entry, buffer, size, result);
}

int gethostname(char* name, size_t size) noexcept {
    if (const int error = ostrelFaultCheck("gethostname")) {
        errno = error;
        return -1;
    }
    return OstrelFault::real<decltype(&gethostname)>("gethostname")(name, size);
}

// An errno rule fails with -1; a "=value" rule returns the value, 0 included.
long sysconf(int name) noexcept {
    long value = 0;
    const int check = ostrelFaultCheckValue("sysconf", &value);
    if (check < 0) {
        return value;
    }
    if (check > 0) {
        errno = check;
        return -1;
    }
    return OstrelFault::real<decltype(&sysconf)>("sysconf")(name);
}

} // extern "C"
