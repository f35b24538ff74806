// What more than one ostrel command does.
#include "CommandSupport.h"

#include "Output.h"

#include <Ostrel/SysInfo.h>

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

} // namespace OstrelTool
