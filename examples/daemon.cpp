// A daemon's main loop: one poll over the four things a long-running program reacts to.
//
//   TerminateRequest::fd   SIGINT or SIGTERM: stop the worker and end cleanly
//   SignalSet::fd          SIGHUP: read the configuration again
//   FileWatcher::fd        the configuration file changed (a save by rename included): read it
//   Child::pidFd           the worker ended: start it again
//
// Nothing is done inside a signal handler: the handlers only write records that the loop takes,
// so the loop may allocate, print and start processes. Where the system has no process
// descriptors (pidFd() is -1), poll ignores that entry and the loop looks at the worker every
// 100 ms instead.
//
//   example_daemon [CONFIG]
//
// Without CONFIG it makes its own configuration file and plays the other side itself: it saves
// the file by rename, sends itself SIGHUP, lets the worker (a one-second sleep) end once and then
// sends itself SIGTERM; it exits 0 when it saw all of that within 10 seconds.
#include <Ostrel/Child.h>
#include <Ostrel/Command.h>
#include <Ostrel/FileWatcher.h>
#include <Ostrel/Signal.h>
#include <Ostrel/SignalSet.h>
#include <Ostrel/TerminateRequest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace {

std::string readConfig(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Writes text to a temporary file and renames it over path, as editors save.
void save(const std::string& path, const std::string& text) {
    std::ofstream(path + ".tmp") << text;
    std::rename((path + ".tmp").c_str(), path.c_str());
}

// The other side of the demonstration, on a thread of its own.
void playTheOtherSide(const std::string& config) {
    using namespace std::chrono_literals;
    std::this_thread::sleep_for(300ms);
    save(config, "level = 2\n");
    std::this_thread::sleep_for(300ms);
    kill(getpid(), SIGHUP);
    std::this_thread::sleep_for(1500ms); // the worker ends and is started again
    kill(getpid(), SIGTERM);
}

} // namespace

int main(int argc, char** argv) {
    const bool demonstration = argc < 2;
    std::string config = demonstration ? "" : argv[1];
    if (demonstration) {
        char directory[] = "/tmp/ostrel-daemon-XXXXXX";
        if (mkdtemp(directory) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        config = std::string(directory) + "/daemon.conf";
        std::ofstream(config) << "level = 1\n";
    }

    Ostrel::TerminateRequest stop; // SIGINT and SIGTERM
    Ostrel::Signal::_the.addSignalHandler(Ostrel::Signal::Terminate, stop);
    Ostrel::SignalSet reload({SIGHUP});
    Ostrel::FileWatcher watcher;
    watcher.add(config); // through its directory: the watch outlives a save by rename
    std::string settings = readConfig(config);

    const Ostrel::Command workerCommand = Ostrel::Command("/bin/sleep").arg("1");
    std::optional<Ostrel::Child> worker(workerCommand.start());
    int reloads = 0, restarts = 0;
    std::thread otherSide;
    if (demonstration) {
        otherSide = std::thread(playTheOtherSide, config);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);

    while (std::chrono::steady_clock::now() < deadline || !demonstration) {
        pollfd ready[] = {{stop.fd(), POLLIN, 0},
                          {reload.fd(), POLLIN, 0},
                          {watcher.fd(), POLLIN, 0},
                          {worker->pidFd(), POLLIN, 0}};
        const int limit = worker->pidFd() == -1 ? 100 : 1000;
        if (poll(ready, 4, limit) == -1 && errno != EINTR) {
            std::perror("poll");
            break;
        }
        if (stop.waitFor(0)) {
            std::cout << "stop requested" << std::endl;
            break;
        }
        bool reread = false;
        while (const auto hangUp = reload.take()) {
            std::cout << "SIGHUP from process " << hangUp->senderId << std::endl;
            reread = true;
        }
        for (const auto& event : watcher.take()) {
            // Overflow: events were lost, so read the file again to be sure.
            reread = reread || event.kind != Ostrel::FileWatcher::Deleted;
        }
        if (reread) {
            settings = readConfig(config);
            ++reloads;
            std::cout << "configuration read again: " << settings << std::flush;
        }
        if (const auto status = worker->waitFor(0)) {
            std::cout << "worker ended with " << status->shellCode() << ", started again"
                      << std::endl;
            worker.emplace(workerCommand.start());
            ++restarts;
        }
    }

    try {
        worker->kill(SIGTERM);
    } catch (const Ostrel::Command::Exception&) {
        // it ended by itself meanwhile
    }
    (void)worker->wait();
    if (otherSide.joinable()) {
        otherSide.join();
    }
    if (demonstration) {
        std::remove(config.c_str());
        const std::string directory = config.substr(0, config.rfind('/'));
        rmdir(directory.c_str());
        const bool sawEverything = reloads >= 2 && restarts >= 1 && stop.count() >= 1;
        std::cout << reloads << " reloads, " << restarts << " restarts" << std::endl;
        return sawEverything ? 0 : 1;
    }
    return 0;
}
