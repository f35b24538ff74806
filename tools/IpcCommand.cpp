// ostrel ipc list | remove: the named shared-memory objects and named semaphores that the library
// leaves in the system (it never removes them), who uses them, and their removal by name or,
// when no process uses them any more, all at once.
#include "Commands.h"
#include "Output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace OstrelTool {

namespace {

const char shmDir[] = "/dev/shm/";
const char semPrefix[] = "sem.";

struct Object {
    bool semaphore;
    // The name the library takes: the file's, without "sem." for a semaphore.
    std::string name;
    struct stat info;
    std::set<pid_t> users;
};

// Every object below /dev/shm whose name begins with prefix.
std::vector<Object> findObjects(const std::string& prefix, std::string& problem) {
    std::vector<Object> objects;
    DIR* dir = opendir(shmDir);
    if (dir == nullptr) {
        problem = std::string("cannot open ") + shmDir + ": " + std::strerror(errno);
        return objects;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        Object object{file.rfind(semPrefix, 0) == 0, file, {}, {}};
        if (object.semaphore) {
            object.name.erase(0, sizeof semPrefix - 1);
        }
        if (file == "." || file == ".." || object.name.rfind(prefix, 0) != 0 ||
            stat((shmDir + file).c_str(), &object.info) != 0 || !S_ISREG(object.info.st_mode)) {
            continue;
        }
        objects.push_back(std::move(object));
    }
    closedir(dir);
    return objects;
}

using FileId = std::pair<dev_t, ino_t>;

// Adds pid to the users of the objects it has open (its descriptors); false when it may not be
// inspected. A process that is gone has nothing open.
bool scanDescriptors(const std::string& pid, const std::map<FileId, Object*>& byId) {
    const std::string fdDir = "/proc/" + pid + "/fd/";
    DIR* dir = opendir(fdDir.c_str());
    if (dir == nullptr) {
        return errno == ENOENT;
    }
    while (const dirent* entry = readdir(dir)) {
        struct stat info {};
        if (entry->d_name[0] != '.' && stat((fdDir + entry->d_name).c_str(), &info) == 0) {
            const auto found = byId.find({info.st_dev, info.st_ino});
            if (found != byId.end()) {
                found->second->users.insert(std::stoi(pid));
            }
        }
    }
    closedir(dir);
    return true;
}

// Adds pid to the users of the objects it maps: /proc/PID/maps gives each mapping's device as
// MAJOR:MINOR in hexadecimal and its inode.
bool scanMappings(const std::string& pid, const std::map<FileId, Object*>& byId) {
    std::ifstream maps("/proc/" + pid + "/maps");
    if (!maps) {
        return errno == ENOENT;
    }
    for (std::string line; std::getline(maps, line);) {
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line.c_str(), "%*s %*s %*s %x:%x %llu", &major, &minor, &inode) == 3 &&
            inode != 0) {
            const auto found = byId.find({makedev(major, minor), static_cast<ino_t>(inode)});
            if (found != byId.end()) {
                found->second->users.insert(std::stoi(pid));
            }
        }
    }
    return true;
}

// Fills the users of objects from every process in /proc; the number of processes that could
// not be inspected (the caller may not read their descriptors).
int findUsers(std::vector<Object>& objects) {
    std::map<FileId, Object*> byId;
    for (auto& object : objects) {
        byId[{object.info.st_dev, object.info.st_ino}] = &object;
    }
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    int uninspected = 0;
    while (const dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const bool inspected = scanDescriptors(pid, byId);
        if (!inspected || !scanMappings(pid, byId)) {
            ++uninspected;
        }
    }
    closedir(proc);
    return uninspected;
}

std::string ownerOf(uid_t uid) {
    if (const passwd* entry = getpwuid(uid)) {
        return entry->pw_name;
    }
    return std::to_string(uid);
}

std::string modeOf(const Object& object) {
    std::ostringstream mode;
    mode << std::oct << std::setfill('0') << std::setw(4) << (object.info.st_mode & 07777);
    return mode.str();
}

std::string usersOf(const Object& object, const char* separator) {
    std::string users;
    for (const pid_t pid : object.users) {
        users += (users.empty() ? "" : separator) + std::to_string(pid);
    }
    return users;
}

void printTable(const std::vector<const Object*>& objects) {
    std::cout << "KIND       SIZE        OWNER      MODE  USERS       NAME\n";
    for (const Object* object : objects) {
        const std::string users = usersOf(*object, ",");
        std::cout << std::left << std::setw(11) << (object->semaphore ? "semaphore" : "shm")
                  << std::setw(12) << object->info.st_size << std::setw(11)
                  << ownerOf(object->info.st_uid) << modeOf(*object) << "  " << std::setw(10)
                  << (users.empty() ? "-" : users) << "  " << object->name << '\n';
    }
}

void printJson(const std::vector<const Object*>& objects, int uninspected) {
    std::cout << "{\"uninspected\": " << uninspected << ", \"objects\": [";
    const char* separator = "\n";
    for (const Object* object : objects) {
        std::cout << separator
                  << " {\"kind\": " << (object->semaphore ? "\"semaphore\"" : "\"shm\"")
                  << ", \"name\": " << jsonString(object->name)
                  << ", \"size\": " << object->info.st_size
                  << ", \"owner\": " << jsonString(ownerOf(object->info.st_uid)) << ", \"mode\": \""
                  << modeOf(*object) << "\", \"users\": [" << usersOf(*object, ", ") << "]}";
        separator = ",\n";
    }
    std::cout << "\n]}\n";
}

// Removes the shared-memory object and the semaphore of name; false when neither exists.
bool removeOne(const std::string& name, std::string& problem) {
    const std::string object = "/" + name;
    bool found = false;
    if (shm_unlink(object.c_str()) == 0) {
        found = true;
    } else if (errno != ENOENT) {
        problem = std::strerror(errno);
    }
    if (sem_unlink(object.c_str()) == 0) {
        found = true;
    } else if (errno != ENOENT && problem.empty()) {
        problem = std::strerror(errno);
    }
    return found;
}

int removeNamed(const Args& names) {
    int code = ExitSuccess;
    for (const auto& name : names) {
        std::string problem;
        if (removeOne(name, problem)) {
            std::cout << "removed " << name << '\n';
        } else {
            code = ExitFailure;
            std::string message =
                problem.empty() ? "no shared memory or semaphore named \"" : "cannot remove \"";
            message += name;
            message += problem.empty() ? "\"" : "\": " + problem;
            printError("ipc remove", message);
        }
    }
    return code;
}

// The objects of the prefix that no inspected process uses: listed, or removed when no process
// escaped inspection (or force).
int listOrRemove(const IpcArgs& parsed) {
    const char* command = parsed.action == IpcArgs::List ? "ipc list" : "ipc remove";
    std::string problem;
    std::vector<Object> objects = findObjects(parsed.prefix, problem);
    if (!problem.empty()) {
        printError(command, problem);
        return ExitFailure;
    }
    const int uninspected = findUsers(objects);
    std::vector<const Object*> shown;
    for (const auto& object : objects) {
        if (!parsed.stale || object.users.empty()) {
            shown.push_back(&object);
        }
    }
    const std::string note = std::to_string(uninspected) +
                             (uninspected == 1 ? " process" : " processes") +
                             " could not be inspected";
    if (parsed.action == IpcArgs::List) {
        if (parsed.stale && uninspected != 0) {
            printError(command, note);
        }
        parsed.json ? printJson(shown, uninspected) : printTable(shown);
        return ExitSuccess;
    }
    if (uninspected != 0 && !parsed.force) {
        printError(command, note + ": nothing removed (--force removes all the same)");
        return ExitFailure;
    }
    int code = ExitSuccess;
    for (const Object* object : shown) {
        const std::string name = "/" + object->name;
        if ((object->semaphore ? sem_unlink(name.c_str()) : shm_unlink(name.c_str())) == 0) {
            std::cout << "removed " << object->name << '\n';
        } else if (errno != ENOENT) {
            code = ExitFailure;
            printError(command, "cannot remove \"" + object->name + "\": " + std::strerror(errno));
        }
    }
    return code;
}

} // namespace

IpcArgs parseIpcArgs(const Args& args) {
    const ParsedArgs parsed = parseArgs(
        args, {{{"--stale", false}, {"--prefix", true}, {"--json", false}, {"--force", false}},
               {"list or remove"},
               anyNumber});
    IpcArgs result;
    const std::string& action = parsed.operands[0];
    result.stale = parsed.has("--stale");
    result.json = parsed.has("--json");
    result.force = parsed.has("--force");
    result.prefix = parsed.has("--prefix") ? parsed.options.at("--prefix") : "";
    result.names.assign(parsed.operands.begin() + 1, parsed.operands.end());
    if (action == "list") {
        if (!result.names.empty()) {
            throw UsageError{"list takes no NAME"};
        }
        if (result.force) {
            throw UsageError{"--force goes with remove --stale"};
        }
        return result;
    }
    if (action != "remove") {
        throw UsageError{"unknown action \"" + action + "\""};
    }
    result.action = IpcArgs::Remove;
    if (result.json) {
        throw UsageError{"--json goes with list"};
    }
    if (result.stale != result.names.empty()) {
        throw UsageError{result.stale ? "--stale takes no NAME" : "missing NAME or --stale"};
    }
    if (!result.stale && (result.force || parsed.has("--prefix"))) {
        throw UsageError{"--force and --prefix go with --stale"};
    }
    return result;
}

int ipc(const Args& args) {
    const IpcArgs parsed = parseIpcArgs(args);
    if (parsed.action == IpcArgs::Remove && !parsed.stale) {
        return removeNamed(parsed.names);
    }
    return listOrRemove(parsed);
}

} // namespace OstrelTool
