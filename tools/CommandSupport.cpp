// What more than one ostrel command does.
#include "CommandSupport.h"

#include "Commands.h"
#include "Output.h"

#include <Ostrel/SysInfo.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace OstrelTool {

void recordArguments(const std::string& envName, const char* command, const Args& args) {
    std::vector<std::string> words{"ostrel", command};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    Ostrel::SysInfo::the()->set(envName, static_cast<int>(argv.size()), argv.data(), false);
}

void loadLibrary(Ostrel::DynamicLibrary& library, const std::string& path, int flags) {
    const DroppedStdout loaderText;
    library.load(path.c_str(), flags);
}

long parseNumber(const std::string& text, const char* what, long minimum) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stol(text) > INT_MAX ||
        std::stol(text) < minimum) {
        throw UsageError{std::string("bad ") + what + " \"" + text + "\""};
    }
    return std::stol(text);
}

long parseMilliseconds(const std::string& text) {
    return parseNumber(text, "number of milliseconds", 0);
}

int startFailureCode(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ExitNotFound;
    case EACCES:
    case EPERM:
    case ENOEXEC:
    case EISDIR:
    case ETXTBSY:
        return ExitNotRunnable;
    default:
        return ExitRunFailed;
    }
}

} // namespace OstrelTool
