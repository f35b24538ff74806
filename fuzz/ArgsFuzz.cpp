// libFuzzer target for the argument parsing of the ostrel tool.
//
// The first input byte picks a command (info, normalize, scan, locate, run, the domain names,
// lock, or watch); the rest, split at NUL bytes, is its argument list. A parser either throws
// UsageError with one of the command's messages, throws HelpRequest for a "--help" or "-h" given,
// or returns a result that must hold up:
//   - every text in the result is one of the words given (or, with "=", a part of one);
//   - numbers and domains are in range;
//   - the result, written back as the canonical argument list, parses to the same result.
// Any other exception, a crash or a sanitizer report is a failure.
#include "Commands.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using OstrelTool::Args;
using OstrelTool::UsageError;

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: \"%s\"\n", what, detail.c_str());
    std::abort();
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// True when message is one of the forms in the list: an entry ending in '"' is a prefix (a
// quoted word follows), any other entry must match exactly.
bool oneOf(const std::string& message, const std::vector<const char*>& forms) {
    for (const char* form : forms) {
        const std::string text = form;
        if (text.back() == '"' ? startsWith(message, form) : message == text) {
            return true;
        }
    }
    return false;
}

bool isWord(const Args& args, const std::string& text) {
    for (const auto& word : args) {
        if (word == text ||
            (word.find('=') != std::string::npos && word.substr(word.find('=') + 1) == text)) {
            return true;
        }
    }
    return false;
}

const char* domainName(Ostrel::FileLocator::FileDomain domain) {
    switch (domain) {
    case Ostrel::FileLocator::NoneDomain:
        return "none";
    case Ostrel::FileLocator::BinDomain:
        return "bin";
    case Ostrel::FileLocator::LibDomain:
        return "lib";
    case Ostrel::FileLocator::DataDomain:
        return "share";
    }
    fail("domain out of range", std::to_string(static_cast<int>(domain)));
}

void fuzzInfo(const Args& args) {
    using View = OstrelTool::InfoView;
    try {
        const View view = OstrelTool::parseInfoArgs(args);
        if (view == View::Record && !args.empty() && args != Args{"--"}) {
            fail("info accepted an argument", args[0]);
        }
        if ((view == View::Xdg && !isWord(args, "--xdg")) ||
            (view == View::Limits && !isWord(args, "--limits"))) {
            fail("info: an option that was not given", args[0]);
        }
    } catch (const UsageError& error) {
        if (!oneOf(error.message,
                   {"unknown option \"", "unexpected argument \"", "--xdg takes no value",
                    "--limits takes no value", "--xdg and --limits exclude each other"})) {
            fail("info: unexpected message", error.message);
        }
    }
}

void fuzzNormalize(const Args& args) {
    try {
        const Args paths = OstrelTool::parseNormalizeArgs(args);
        if (paths.empty()) {
            fail("normalize: no path", "");
        }
        Args canonical{"--"};
        for (const auto& path : paths) {
            if (!isWord(args, path)) {
                fail("normalize: a path that was not given", path);
            }
            canonical.push_back(path);
        }
        if (OstrelTool::parseNormalizeArgs(canonical) != paths) {
            fail("normalize: the canonical list parses differently", paths[0]);
        }
    } catch (const UsageError& error) {
        if (!oneOf(error.message, {"unknown option \"", "missing PATH"})) {
            fail("normalize: unexpected message", error.message);
        }
    }
}

void fuzzScan(const Args& args) {
    try {
        const OstrelTool::ScanArgs parsed = OstrelTool::parseScanArgs(args);
        if (!isWord(args, parsed.dir) || !isWord(args, parsed.pattern)) {
            fail("scan: a word that was not given", parsed.dir + "\" \"" + parsed.pattern);
        }
        if (parsed.maxDepth > 999999999 || (parsed.maxDepth != 0 && !parsed.recursive)) {
            fail("scan: depth out of range or without recursion", std::to_string(parsed.maxDepth));
        }
        Args canonical;
        const std::pair<bool, const char*> flags[] = {{parsed.recursive, "--recursive"},
                                                      {parsed.sorted, "--sorted"},
                                                      {parsed.follow, "--follow"},
                                                      {parsed.unknown, "--unknown"},
                                                      {parsed.nul, "-0"}};
        for (const auto& [on, name] : flags) {
            if (on) {
                canonical.emplace_back(name);
            }
        }
        if (parsed.maxDepth != 0) {
            canonical.push_back("--max-depth=" + std::to_string(parsed.maxDepth));
        }
        canonical.insert(canonical.end(), {"--", parsed.dir, parsed.pattern});
        const OstrelTool::ScanArgs again = OstrelTool::parseScanArgs(canonical);
        if (again.dir != parsed.dir || again.pattern != parsed.pattern ||
            again.recursive != parsed.recursive || again.sorted != parsed.sorted ||
            again.follow != parsed.follow || again.unknown != parsed.unknown ||
            again.nul != parsed.nul || again.maxDepth != parsed.maxDepth) {
            fail("scan: the canonical list parses differently", parsed.dir);
        }
    } catch (const UsageError& error) {
        if (!oneOf(error.message,
                   {"unknown option \"", "--recursive takes no value", "--sorted takes no value",
                    "--follow takes no value", "--unknown takes no value", "-0 takes no value",
                    "--max-depth needs a value", "bad depth \"", "missing DIR and PATTERN",
                    "missing PATTERN", "unexpected argument \""})) {
            fail("scan: unexpected message", error.message);
        }
    }
}

void fuzzLocate(const Args& args) {
    try {
        const OstrelTool::LocateArgs parsed = OstrelTool::parseLocateArgs(args);
        if (!isWord(args, parsed.name)) {
            fail("locate: a name that was not given", parsed.name);
        }
        if (!parsed.envName.empty() && !isWord(args, parsed.envName)) {
            fail("locate: an environment name that was not given", parsed.envName);
        }
        Args canonical{"--domain", domainName(parsed.domain), "--env=" + parsed.envName};
        if (parsed.verbose) {
            canonical.emplace_back("--verbose");
        }
        if (parsed.all) {
            canonical.emplace_back("--all");
        }
        canonical.insert(canonical.end(), {"--", parsed.name});
        const OstrelTool::LocateArgs again = OstrelTool::parseLocateArgs(canonical);
        if (again.name != parsed.name || again.domain != parsed.domain ||
            again.envName != parsed.envName || again.verbose != parsed.verbose ||
            again.all != parsed.all) {
            fail("locate: the canonical list parses differently", parsed.name);
        }
    } catch (const UsageError& error) {
        if (!oneOf(error.message,
                   {"unknown option \"", "--domain needs a value", "--env needs a value",
                    "--verbose takes no value", "--all takes no value", "unknown domain \"",
                    "missing NAME", "unexpected argument \""})) {
            fail("locate: unexpected message", error.message);
        }
    }
}

void fuzzRun(const Args& args) {
    try {
        const OstrelTool::RunOptions parsed = OstrelTool::parseRunArgs(args);
        if (parsed.argv.empty()) {
            fail("run: no program", "");
        }
        if (parsed.timeoutMs < 0 || parsed.killAfterMs < 0 || parsed.signal < 1 ||
            parsed.signal > SIGRTMAX) {
            fail("run: a limit or signal out of range", std::to_string(parsed.timeoutMs));
        }
        // Everything from PROGRAM on is the program's, unchanged.
        if (parsed.argv.size() > args.size() ||
            !std::equal(parsed.argv.begin(), parsed.argv.end(),
                        args.end() - static_cast<std::ptrdiff_t>(parsed.argv.size()))) {
            fail("run: the program's arguments are not the words after the options", args[0]);
        }
        // A bare number is milliseconds, so that the limits read back exactly.
        Args canonical = {"--timeout",    std::to_string(parsed.timeoutMs),
                          "--kill-after", std::to_string(parsed.killAfterMs),
                          "--signal",     std::to_string(parsed.signal)};
        const std::pair<bool, const char*> flags[] = {{parsed.preserveStatus, "--preserve-status"},
                                                      {parsed.verbose, "--verbose"},
                                                      {parsed.foreground, "--foreground"}};
        for (const auto& [on, name] : flags) {
            if (on) {
                canonical.emplace_back(name);
            }
        }
        canonical.emplace_back("--");
        canonical.insert(canonical.end(), parsed.argv.begin(), parsed.argv.end());
        const OstrelTool::RunOptions again = OstrelTool::parseRunArgs(canonical);
        if (again.timeoutMs != parsed.timeoutMs || again.killAfterMs != parsed.killAfterMs ||
            again.signal != parsed.signal || again.preserveStatus != parsed.preserveStatus ||
            again.verbose != parsed.verbose || again.foreground != parsed.foreground ||
            again.argv != parsed.argv) {
            fail("run: the canonical list parses differently", parsed.argv[0]);
        }
    } catch (const UsageError& error) {
        if (!oneOf(error.message,
                   {"unknown option \"", "--timeout needs a value", "--kill-after needs a value",
                    "--signal needs a value", "--preserve-status takes no value",
                    "--verbose takes no value", "--foreground takes no value", "bad duration \"",
                    "bad signal \"", "missing PROGRAM"})) {
            fail("run: unexpected message", error.message);
        }
    }
}

void fuzzDomain(const Args& args) {
    for (const auto& word : args) {
        try {
            const auto domain = OstrelTool::parseDomain(word);
            if (word != domainName(domain)) {
                fail("domain: the name does not give its domain back", word);
            }
        } catch (const UsageError& error) {
            if (error.message != "unknown domain \"" + word + "\" (none, bin, lib or share)") {
                fail("domain: unexpected message", error.message);
            }
        }
    }
}

void fuzzLock(const Args& args) {
    try {
        const OstrelTool::LockOptions parsed = OstrelTool::parseLockArgs(args);
        if (parsed.argv.empty() || !isWord(args, parsed.file)) {
            fail("lock: no program, or a file that was not given", parsed.file);
        }
        if (parsed.timeoutMs < -1 || parsed.timeoutMs > INT_MAX ||
            parsed.conflictCode.value_or(0) < 0 || parsed.conflictCode.value_or(0) > 255) {
            fail("lock: milliseconds or exit code out of range", std::to_string(parsed.timeoutMs));
        }
        // Everything from PROGRAM on is the program's, unchanged.
        if (parsed.argv.size() > args.size() ||
            !std::equal(parsed.argv.begin(), parsed.argv.end(),
                        args.end() - static_cast<std::ptrdiff_t>(parsed.argv.size()))) {
            fail("lock: the program's arguments are not the words after FILE", args[0]);
        }
        Args canonical;
        if (parsed.shared) {
            canonical.emplace_back("--shared");
        }
        if (parsed.timeoutMs >= 0) {
            canonical.push_back("--timeout=" + std::to_string(parsed.timeoutMs));
        }
        if (parsed.conflictCode) {
            canonical.push_back("--conflict-exit-code=" + std::to_string(*parsed.conflictCode));
        }
        canonical.insert(canonical.end(), {"--", parsed.file});
        canonical.insert(canonical.end(), parsed.argv.begin(), parsed.argv.end());
        const OstrelTool::LockOptions again = OstrelTool::parseLockArgs(canonical);
        if (again.shared != parsed.shared || again.timeoutMs != parsed.timeoutMs ||
            again.conflictCode != parsed.conflictCode || again.file != parsed.file ||
            again.argv != parsed.argv) {
            fail("lock: the canonical list parses differently", parsed.file);
        }
    } catch (const UsageError& error) {
        if (!oneOf(error.message,
                   {"unknown option \"", "--shared takes no value", "--timeout needs a value",
                    "--conflict-exit-code needs a value", "bad number of milliseconds \"",
                    "bad exit code \"", "missing FILE and PROGRAM", "missing PROGRAM"})) {
            fail("lock: unexpected message", error.message);
        }
    }
}

void fuzzWatch(const Args& args) {
    try {
        const OstrelTool::WatchArgs parsed = OstrelTool::parseWatchArgs(args);
        if (parsed.paths.empty()) {
            fail("watch: no path", "");
        }
        for (const auto& path : parsed.paths) {
            if (!isWord(args, path)) {
                fail("watch: a path that was not given", path);
            }
        }
        if (parsed.count < 0 || parsed.count > INT_MAX || parsed.timeoutMs < 0 ||
            parsed.timeoutMs > INT_MAX) {
            fail("watch: a number out of range", std::to_string(parsed.count));
        }
        Args canonical = {"--timeout=" + std::to_string(parsed.timeoutMs)};
        if (parsed.count != 0) {
            canonical.push_back("--count=" + std::to_string(parsed.count));
        }
        if (parsed.recursive) {
            canonical.emplace_back("--recursive");
        }
        if (parsed.json) {
            canonical.emplace_back("--json");
        }
        canonical.emplace_back("--");
        canonical.insert(canonical.end(), parsed.paths.begin(), parsed.paths.end());
        const OstrelTool::WatchArgs again = OstrelTool::parseWatchArgs(canonical);
        if (again.recursive != parsed.recursive || again.json != parsed.json ||
            again.count != parsed.count || again.timeoutMs != parsed.timeoutMs ||
            again.paths != parsed.paths) {
            fail("watch: the canonical list parses differently", parsed.paths[0]);
        }
    } catch (const UsageError& error) {
        if (!oneOf(error.message,
                   {"unknown option \"", "--recursive takes no value", "--json takes no value",
                    "--count needs a value", "--timeout needs a value", "bad count \"",
                    "bad number of milliseconds \"", "missing PATH"})) {
            fail("watch: unexpected message", error.message);
        }
    }
}

// Command 0 to 4 is info, normalize, scan, locate and run; 5 the domain names; 6 lock; 7
// watch.
void fuzzCommand(int command, const Args& args) {
    switch (command) {
    case 0:
        fuzzInfo(args);
        break;
    case 1:
        fuzzNormalize(args);
        break;
    case 2:
        fuzzScan(args);
        break;
    case 3:
        fuzzLocate(args);
        break;
    case 4:
        fuzzRun(args);
        break;
    case 5:
        fuzzDomain(args);
        break;
    case 6:
        fuzzLock(args);
        break;
    default:
        fuzzWatch(args);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    Args args;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= length; ++i) {
        if (i == length || text[i] == '\0') {
            if (i > start || i < length) {
                args.emplace_back(text + start, i - start);
            }
            start = i + 1;
        }
    }
    try {
        fuzzCommand(data[0] % 8, args);
    } catch (const OstrelTool::HelpRequest&) {
        if (std::find(args.begin(), args.end(), "--help") == args.end() &&
            std::find(args.begin(), args.end(), "-h") == args.end()) {
            fail("help asked for without --help or -h", args.empty() ? "" : args[0]);
        }
    }
    return 0;
}
