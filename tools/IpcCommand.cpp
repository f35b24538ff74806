// ostrel ipc list | remove NAME...: the named shared-memory objects and named semaphores that
// the library leaves in the system (it never removes them), seen and removed by name.
#include "Commands.h"
#include "Output.h"

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace OstrelTool {

namespace {

const char shmDir[] = "/dev/shm/";
const char semPrefix[] = "sem.";

std::string ownerOf(uid_t uid) {
    if (const passwd* entry = getpwuid(uid)) {
        return entry->pw_name;
    }
    return std::to_string(uid);
}

int list() {
    DIR* dir = opendir(shmDir);
    if (dir == nullptr) {
        printError("ipc list", std::string("cannot open ") + shmDir + ": " + std::strerror(errno));
        return ExitFailure;
    }
    std::cout << "KIND       SIZE        OWNER      MODE  NAME\n";
    while (const dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        struct stat info {};
        if (file == "." || file == ".." || stat((shmDir + file).c_str(), &info) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        const bool semaphore = file.rfind(semPrefix, 0) == 0;
        std::cout << std::left << std::setw(11) << (semaphore ? "semaphore" : "shm")
                  << std::setw(12) << info.st_size << std::setw(11) << ownerOf(info.st_uid)
                  << std::oct << std::setfill('0') << std::right << std::setw(4)
                  << (info.st_mode & 07777) << std::dec << std::setfill(' ') << std::left << "  "
                  << (semaphore ? file.substr(sizeof semPrefix - 1) : file) << '\n';
    }
    closedir(dir);
    return ExitSuccess;
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

} // namespace

int ipc(const Args& args) {
    const Args words = parseArgs(args, {{}, {}, anyNumber}).operands;
    if (words.empty()) {
        throw UsageError{"missing list or remove"};
    }
    if (words[0] == "list") {
        if (words.size() != 1) {
            throw UsageError{"list takes no arguments"};
        }
        return list();
    }
    if (words[0] != "remove") {
        throw UsageError{"unknown action \"" + words[0] + "\""};
    }
    if (words.size() < 2) {
        throw UsageError{"missing NAME"};
    }
    int code = ExitSuccess;
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string problem;
        if (removeOne(words[i], problem)) {
            std::cout << "removed " << words[i] << '\n';
        } else {
            code = ExitFailure;
            printError("ipc remove",
                       problem.empty() ? "no shared memory or semaphore named \"" + words[i] + "\""
                                       : "cannot remove \"" + words[i] + "\": " + problem);
        }
    }
    return code;
}

} // namespace OstrelTool
