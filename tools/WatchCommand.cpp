// ostrel watch [--recursive] [--json] [--count N] [--timeout MS] PATH...: prints the changes to
// each PATH (a directory, or a file watched through its directory) as they come, one line each,
// through Ostrel::FileWatcher.
//
// A line is "KIND PATH" ("KIND PATH OLDPATH" for Renamed, "Overflow" alone), a directory's path
// ending in "/"; with --json one object per line, {"kind": KIND, "path": PATH, "oldPath":
// OLDPATH, "directory": true|false}, whose strings carry any file name (jsonString). The tool
// waits in one poll on the watcher's descriptor and its TerminateRequest's, with the time left
// as the poll's limit. It ends after N events, at a termination request (SIGINT, SIGTERM) or at
// the limit: exit 0, or 1 when the limit passed without an event. A failure to watch exits 2, as a
// usage error does, so that a script tells "nothing changed" from "nothing was watched".
#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

#include <Ostrel/FileWatcher.h>
#include <Ostrel/Signal.h>
#include <Ostrel/TerminateRequest.h>
#include <Ostrel/Time.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>

#include <poll.h>

namespace OstrelTool {

WatchArgs parseWatchArgs(const Args& args) {
    ParsedArgs parsed = parseArgs(
        args, {{{"--recursive", false}, {"--json", false}, {"--count", true}, {"--timeout", true}},
               {"PATH"},
               anyNumber});
    WatchArgs result;
    result.recursive = parsed.has("--recursive");
    result.json = parsed.has("--json");
    result.count =
        parsed.has("--count") ? parseNumber(parsed.options.at("--count"), "count", 1) : 0;
    result.timeoutMs =
        parsed.has("--timeout") ? parseMilliseconds(parsed.options.at("--timeout")) : 0;
    result.paths = std::move(parsed.operands);
    return result;
}

namespace {

const char* kindName(Ostrel::FileWatcher::Kind kind) {
    switch (kind) {
    case Ostrel::FileWatcher::Created:
        return "Created";
    case Ostrel::FileWatcher::Deleted:
        return "Deleted";
    case Ostrel::FileWatcher::Modified:
        return "Modified";
    case Ostrel::FileWatcher::Renamed:
        return "Renamed";
    case Ostrel::FileWatcher::AttributesChanged:
        return "AttributesChanged";
    case Ostrel::FileWatcher::Overflow:
        break;
    }
    return "Overflow";
}

// Prints event as one line, flushed, so that a reader of a pipe sees it at once.
void printEvent(const Ostrel::FileWatcher::Event& event, bool json) {
    const char* kind = kindName(event.kind);
    if (json) {
        std::cout << "{\"kind\": \"" << kind << "\", \"path\": " << jsonString(event.path)
                  << ", \"oldPath\": " << jsonString(event.oldPath)
                  << ", \"directory\": " << (event.directory ? "true" : "false") << "}\n";
    } else {
        const char* mark = event.directory ? "/" : "";
        std::cout << kind;
        if (event.kind != Ostrel::FileWatcher::Overflow) {
            std::cout << ' ' << event.path << mark;
        }
        if (event.kind == Ostrel::FileWatcher::Renamed) {
            std::cout << ' ' << event.oldPath << mark;
        }
        std::cout << '\n';
    }
    std::cout.flush();
}

// While it lives, SIGINT and SIGTERM reach request instead of ending the tool.
class StopOnSignal {
public:
    explicit StopOnSignal(Ostrel::TerminateRequest& request) {
        Ostrel::Signal::_the.addSignalHandler(Ostrel::Signal::Terminate, request);
    }
    ~StopOnSignal() { Ostrel::Signal::_the.removeSignalHandler(Ostrel::Signal::Terminate); }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;
};

// Milliseconds on the monotonic clock.
long long nowMs() {
    return static_cast<long long>(Ostrel::getMonotonicTime() * 1000.0);
}

// Prints the events until the count, a request or the deadline (-1: none); the exit code.
int watchUntilDone(Ostrel::FileWatcher& watcher, const Ostrel::TerminateRequest& request,
                   const WatchArgs& parsed) {
    const long long deadline = parsed.timeoutMs == 0 ? -1 : nowMs() + parsed.timeoutMs;
    long printed = 0;
    pollfd ready[2] = {{watcher.fd(), POLLIN, 0}, {request.fd(), POLLIN, 0}};
    for (;;) {
        int limit = -1;
        if (deadline >= 0) {
            const long long left = deadline - nowMs();
            limit = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        const int result = poll(ready, 2, limit);
        if (result == -1 && errno != EINTR) {
            printError("watch", std::string("cannot wait: ") + std::strerror(errno));
            return ExitUsage;
        }
        if (ready[1].revents != 0) {
            return ExitSuccess;
        }
        try {
            for (const auto& event : watcher.take()) {
                printEvent(event, parsed.json);
                if (!std::cout || ++printed == parsed.count) {
                    return ExitSuccess; // a failed write is reported by the tool's stdout
                }
            }
        } catch (const Ostrel::FileWatcher::Exception& e) {
            printError("watch", e.what()); // the events read with it come with the next take
        }
        if (deadline >= 0 && nowMs() >= deadline) {
            return printed == 0 ? ExitFailure : ExitSuccess;
        }
    }
}

} // namespace

int watch(const Args& args) {
    const WatchArgs parsed = parseWatchArgs(args);
    try {
        Ostrel::TerminateRequest request;
        const StopOnSignal stopOnSignal(request);
        Ostrel::FileWatcher watcher;
        for (const auto& path : parsed.paths) {
            watcher.add(path, parsed.recursive);
        }
        return watchUntilDone(watcher, request, parsed);
    } catch (const Ostrel::FileWatcher::Exception& e) {
        printError("watch", e.what());
    } catch (const Ostrel::TerminateRequest::Exception& e) {
        printError("watch", e.what());
    }
    return ExitUsage;
}

} // namespace OstrelTool
