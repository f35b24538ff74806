#include <Ostrel/FileLocator.h>

#include <Ostrel/Dir.h>
#include <Ostrel/SysInfo.h>

#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <string_view>
#include <unordered_set>

#include <sys/stat.h>

namespace Ostrel {

// Built at load in this order: bin, lib, data, none.
const std::string FileLocator::_binDomainDir("bin");
const std::string FileLocator::_libDomainDir("lib");
const std::string FileLocator::_dataDomainDir("share");
const std::string FileLocator::_noneDomainDir;

namespace {

// The value of envName + "_DIR", or null when envName is empty or the variable is unset.
const char* environmentDir() {
    std::string name = SysInfo::the()->envName;
    if (name.empty()) {
        return nullptr;
    }
    name += "_DIR";
    return std::getenv(name.c_str());
}

// Appends the directory of domain to dir's path (nothing for NoneDomain).
void enterDomain(Dir& dir, FileLocator::FileDomain domain) {
    if (domain != FileLocator::NoneDomain) {
        dir.changePath(FileLocator::domainDir(domain), Dir::AsGiven);
    }
}

// A candidate of locate, into path (reusing its buffer): dir (which ends with a separator), then
// the parts with a separator between each two.
void candidatePath(std::string& path, const std::string& dir,
                   std::initializer_list<std::string_view> parts) {
    path = dir;
    for (const auto* part = parts.begin(); part != parts.end(); ++part) {
        if (part != parts.begin()) {
            path += Dir::_pathSeparator;
        }
        path += *part;
    }
}

} // namespace

FileLocator::FileLocator(unsigned int flags) : searchFlags(flags) {
    addSearchDir(flags);
}

FileLocator::FileLocator(FileLocator& /*other*/) : searchFlags(0) {}

FileLocator::~FileLocator() = default;

void FileLocator::addSearchDir(const std::string& dir) {
    std::cerr << "Info: AddSearchPath: " << dir << std::endl;
    searchDirs.push_back(dir);
}

void FileLocator::addSearchDir(unsigned int flags) {
    if ((flags & SearchBundle) != 0) {
        addSearchDir(bundlePath(NoneDomain));
    }
    if ((flags & SearchEnvironment) != 0) {
        if (const char* value = environmentDir()) {
            addSearchDir(std::string(value));
        }
    }
    if ((flags & SearchLocal) != 0) {
        addSearchDir(std::string(1, '.') + Dir::_pathSeparator);
    }
}

void FileLocator::dump(bool /*verbose*/) {
    for (const auto& dir : searchDirs) {
        std::cerr << "Info: SearchDir: " << dir << std::endl;
    }
}

const std::string& FileLocator::domainDir(FileDomain domain) {
    switch (domain) {
    case BinDomain:
        return _binDomainDir;
    case LibDomain:
        return _libDomainDir;
    case DataDomain:
        return _dataDomainDir;
    default:
        return _noneDomainDir;
    }
}

std::string FileLocator::bundlePath(FileDomain domain) {
    Dir dir;
    dir.setPath(SysInfo::the()->appName, Dir::AsGiven);
    dir.changePathUp(Dir::AsGiven);
    dir.changePathUp(Dir::AsGiven);
    enterDomain(dir, domain);
    dir.fixProp(Dir::Normalize);
    return dir.path;
}

std::string FileLocator::environmentPath(FileDomain domain) {
    Dir dir;
    const char* value = environmentDir();
    if (value == nullptr) {
        return dir.path;
    }
    dir.setPath(value, Dir::AsGiven);
    enterDomain(dir, domain);
    dir.fixProp(Dir::Normalize);
    return dir.path;
}

std::string FileLocator::localPath(FileDomain domain) {
    Dir dir;
    dir.setPath(".", Dir::AsGiven);
    enterDomain(dir, domain);
    return dir.path;
}

bool FileLocator::checkPath(const std::string& path, bool verbose) const {
    struct stat info;
    const bool found = ::stat(path.c_str(), &info) == 0;
    if (verbose) {
        std::cerr << "CheckPath: " << path << ", " << (found ? "true" : "false") << std::endl;
    }
    return found;
}

// The name is taken by value because the public signature fixes it so.
// cppcheck-suppress passedByValue
// NOLINTNEXTLINE(performance-unnecessary-value-param)
std::string FileLocator::locate(std::string name, FileDomain domain, bool verbose) const {
    if (searchDirs.empty()) {
        return std::string();
    }
    const std::string& domainName = domainDir(domain);
    const std::string& sysClassName = SysInfo::the()->sysClassName;
    Dir scanRoot;
    std::vector<std::string> matches;
    std::string path;
    for (const auto& dir : searchDirs) {
        const auto found = [&](std::initializer_list<std::string_view> parts) {
            candidatePath(path, dir, parts);
            return checkPath(path, verbose);
        };
        if (domain != NoneDomain &&
            (found({domainName, name}) || found({domainName, sysClassName, name}))) {
            return path;
        }
        if (found({"", name})) {
            return path;
        }

        scanRoot.setPath(dir, Dir::AsGiven);
        if (verbose) {
            std::cerr << "Info: Scan Dir: " << scanRoot.path << " for: " << name << std::endl;
        }
        const int count = scanRoot.scan(matches, name, true);
        if (count == 0) {
            continue;
        }
        if (count >= 2 && verbose) {
            std::cerr << "More than on valid search result: \n";
            for (const auto& match : matches) {
                std::cerr << "  " << match << std::endl;
            }
        }
        return matches.front();
    }
    return std::string();
}

std::vector<std::string> FileLocator::locateAll(const std::string& name, FileDomain domain) const {
    std::vector<std::string> found;
    std::unordered_set<std::string> seen;
    const auto add = [&](const std::string& path) {
        if (seen.insert(path).second) {
            found.push_back(path);
        }
    };
    if (searchDirs.empty()) {
        return found;
    }
    const std::string& domainName = domainDir(domain);
    const std::string& sysClassName = SysInfo::the()->sysClassName;
    Dir scanRoot;
    std::vector<std::string> matches;
    std::string path;
    for (const auto& dir : searchDirs) {
        const auto candidate = [&](std::initializer_list<std::string_view> parts) {
            candidatePath(path, dir, parts);
            if (checkPath(path, false)) {
                add(path);
            }
        };
        if (domain != NoneDomain) {
            candidate({domainName, name});
            candidate({domainName, sysClassName, name});
        }
        candidate({"", name});
        scanRoot.setPath(dir, Dir::AsGiven);
        matches.clear();
        scanRoot.scan(matches, name, true);
        for (const auto& match : matches) {
            add(match);
        }
    }
    return found;
}

} // namespace Ostrel
