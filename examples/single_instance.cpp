// A program of which one copy runs at a time: a second copy says which process is running and
// leaves.
//
// The lock is a FileLock on the file given as the first argument, or on single_instance.lock in
// the user's runtime directory ($XDG_RUNTIME_DIR, else /tmp). The system releases it when the
// holder ends in any way, crash and SIGKILL included, so there is never a stale lock to detect or
// delete, and the file may stay. The holder writes its process id into the file through a
// descriptor of its own (FileLock never touches the contents), which it then closes: that does
// not release the lock, as it would for a process lock of fcntl. A second copy that finds the
// lock held reads the id from the file to say who is running.
//
// So that the example runs unattended, the first copy's work is to start a second copy of itself
// on the same lock file, which must find the lock held by the first and leave with exit code 1.
#include <Ostrel/Command.h>
#include <Ostrel/FileLock.h>
#include <Ostrel/SysInfo.h>

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <string>

namespace {

constexpr int exitAlreadyRunning = 1;

// "PID\n" written over the start of the file, which is then cut to that length: a reader sees
// the whole line or none of it (it reads up to the newline).
void writeProcessId(const std::string& path) {
    const std::string line = std::to_string(getpid()) + "\n";
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd == -1 || pwrite(fd, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()) ||
        ftruncate(fd, static_cast<off_t>(line.size())) == -1) {
        std::cerr << "cannot write the process id into " << path << '\n';
    }
    if (fd != -1) {
        close(fd);
    }
}

// The holder's process id as the file has it, or "" while the holder has not written it yet.
std::string holderId(const std::string& path) {
    char text[32] = "";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t count = fd == -1 ? -1 : pread(fd, text, sizeof text - 1, 0);
    if (fd != -1) {
        close(fd);
    }
    const std::string line(text, count > 0 ? static_cast<std::size_t>(count) : 0);
    return line.find('\n') == std::string::npos ? "" : line.substr(0, line.find('\n'));
}

// The work of the one running copy: here, to see that a second copy leaves.
int work(const std::string& path) {
    std::cout << "process " << getpid() << " runs alone" << std::endl;
    Ostrel::Child second = Ostrel::Command(Ostrel::SysInfo::the()->appName)
                               .arg(path)
                               .stdoutTo(Ostrel::Command::Pipe)
                               .start();
    const std::string said = second.readStdout();
    const int code = second.wait().shellCode();
    std::cout << "a second copy said: " << said;
    const bool left = code == exitAlreadyRunning &&
                      said.find("process " + std::to_string(getpid())) != std::string::npos;
    return left ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string runtime = Ostrel::SysInfo::the()->runtimeDir();
    const std::string path =
        argc > 1 ? argv[1] : (runtime.empty() ? "/tmp" : runtime) + "/single_instance.lock";
    try {
        Ostrel::FileLock instance(path);
        if (!instance.tryLock()) {
            const std::string id = holderId(path);
            std::cout << "already running as "
                      << (id.empty() ? "a process that is starting" : "process " + id)
                      << "; this copy leaves" << std::endl;
            return exitAlreadyRunning;
        }
        writeProcessId(path);
        const int code = work(path);
        // Still the holder: the id goes before the lock does.
        (void)truncate(path.c_str(), 0);
        return code;
    } catch (const Ostrel::FileLock::Exception& e) {
        std::cerr << e.what() << '\n';
    } catch (const Ostrel::Command::Exception& e) {
        std::cerr << e.what() << '\n';
    }
    return 2;
}
