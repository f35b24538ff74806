#include <Ostrel/SysInfo.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace Ostrel {

SysInfo* SysInfo::_the = nullptr;

void SysInfo::init() {
    if (_the == nullptr) {
        // new releases the storage itself when the constructor throws, leaving _the null.
        _the = new SysInfo();
    }
}

SysInfo* SysInfo::the() {
    init();
    return _the;
}

SysInfo::SysInfo() {
    static const std::string na("[NA]");

    const std::string link = "/proc/" + std::to_string(getpid()) + "/exe";
    char pathBuf[1024];
    const ssize_t pathLen = readlink(link.c_str(), pathBuf, sizeof pathBuf);
    if (pathLen > 0) {
        appName.assign(pathBuf, static_cast<std::size_t>(pathLen));
    }

    struct utsname uts {};
    if (uname(&uts) == -1) {
        sysName = na;
        machineName = na;
    } else {
        sysName = uts.sysname;
        machineName = uts.machine;
    }
    sysClassName = sysName;

    struct passwd pwd {};
    struct passwd* found = nullptr;
    char pwBuf[8192];
    if (getpwuid_r(getuid(), &pwd, pwBuf, sizeof pwBuf, &found) == 0 && found != nullptr &&
        found->pw_name != nullptr) {
        userName = found->pw_name;
    }
    if (userName.empty()) {
        userName = na;
    }

    char hostBuf[1024];
    if (gethostname(hostBuf, sizeof hostBuf) == -1) {
        hostName = na;
    } else {
        // gethostname need not terminate a truncated name; never read past the buffer.
        hostName.assign(hostBuf, strnlen(hostBuf, sizeof hostBuf));
    }

    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    cpuCount = cpus > 0 ? static_cast<std::uint32_t>(cpus) : 1U;

    if (const char* home = std::getenv("HOME")) {
        appDataName = home;
    }
}

void SysInfo::set(const std::string& name, int argc, char** argv, bool setupWindow) {
    envName = name;
    arguments.clear();
    for (int i = 0; i < argc; ++i) {
        if (argv[i] != nullptr) {
            arguments.emplace_back(argv[i]);
        }
    }
    if (setupWindow) {
        setWindowHandle();
    }
}

void SysInfo::setWindowHandle() {
    windowHandle = 0;
}

void SysInfo::setupExceptionPolicy() {}

bool SysInfo::openUrl(const std::string& url) {
    const std::string command = "xdg-open " + url;
    // The exit status says nothing the caller could act on; the result is true in every case.
    [[maybe_unused]] const int status = std::system(command.c_str());
    return true;
}

std::string SysInfo::createAppDataPathName(const char* name) const {
    return appDataName + "/." + name;
}

void SysInfo::dump() {
    static const char header[] = "=== SysInfo =======================================\n";
    std::ostream& out = std::cout;
    out << header;
    out << "env      Name: " << envName << std::endl;
    out << "app      Name: " << appName << std::endl;
    out << "user     Name: " << userName << std::endl;
    out << "appData  Name: " << appDataName << std::endl;
    out << "host     Name: " << hostName << std::endl;
    out << "sys      Name: " << sysName << std::endl;
    out << "sysClass Name: " << sysClassName << std::endl;
    out << "machine  Name: " << machineName << std::endl;
    out << "CPU     Count: " << cpuCount << std::endl;
    out << "WindowHandle : " << windowHandle << std::endl;
    out << header;
}

namespace {

// The value of the variable name when it is an absolute path, otherwise fallback.
std::string baseDirectory(const char* name, std::string fallback) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    return fallback;
}

// home + below ("/.config"), or empty without an absolute home: "/.config" would name a
// directory of the root. A home that ends with the separator ("/" for root in some containers)
// does not double it.
std::string belowHome(const std::string& home, const char* below) {
    if (home.empty() || home[0] != '/') {
        return std::string();
    }
    return home.back() == '/' ? home + (below + 1) : home + below;
}

} // namespace

std::string SysInfo::configHome() const {
    return baseDirectory("XDG_CONFIG_HOME", belowHome(appDataName, "/.config"));
}

std::string SysInfo::dataHome() const {
    return baseDirectory("XDG_DATA_HOME", belowHome(appDataName, "/.local/share"));
}

std::string SysInfo::stateHome() const {
    return baseDirectory("XDG_STATE_HOME", belowHome(appDataName, "/.local/state"));
}

std::string SysInfo::cacheHome() const {
    return baseDirectory("XDG_CACHE_HOME", belowHome(appDataName, "/.cache"));
}

std::string SysInfo::runtimeDir() const {
    return baseDirectory("XDG_RUNTIME_DIR", std::string());
}

} // namespace Ostrel
