// What the ostrel tool writes besides a command's own output.
#include "Output.h"

#include "Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace OstrelTool {

void printError(const std::string& command, const std::string& message) {
    std::cout.flush();
    std::cerr << "ostrel" << (command.empty() ? "" : " ") << command << ": " << message << '\n';
}

CheckedStdout::CheckedStdout() : _previous(std::cout.rdbuf(this)) {}

CheckedStdout::~CheckedStdout() {
    std::cout.rdbuf(_previous);
}

int CheckedStdout::finish(int code) {
    sync();
    if (_error == 0) {
        return code;
    }
    printError("", std::string("write error: ") + std::strerror(_error));
    return ExitFailure;
}

CheckedStdout::int_type CheckedStdout::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
}

std::streamsize CheckedStdout::xsputn(const char* text, std::streamsize count) {
    const std::size_t written = std::fwrite(text, 1, static_cast<std::size_t>(count), stdout);
    if (written < static_cast<std::size_t>(count)) {
        noteError();
    }
    return static_cast<std::streamsize>(written);
}

int CheckedStdout::sync() {
    if (std::fflush(stdout) != 0) {
        noteError();
        return -1;
    }
    return 0;
}

void CheckedStdout::noteError() {
    if (_error == 0) {
        _error = errno != 0 ? errno : EIO;
    }
}

DroppedStdout::DroppedStdout()
    : _state(std::cout.rdstate()), _previous(std::cout.rdbuf(&_dropped)) {}

DroppedStdout::~DroppedStdout() {
    // Setting a buffer clears the state, a failed write's bad bit included.
    std::cout.rdbuf(_previous);
    std::cout.setstate(_state);
}

} // namespace OstrelTool
