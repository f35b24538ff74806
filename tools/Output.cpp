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

namespace {

// The length of the valid UTF-8 sequence at the start of bytes (left of them), or 0: overlong
// forms, surrogates and code points above U+10FFFF are not valid.
std::size_t utf8Length(const unsigned char* bytes, std::size_t left) {
    const unsigned lead = bytes[0];
    if (lead < 0x80) {
        return 1;
    }
    const std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                               : lead >= 0xe0 && lead <= 0xef ? 3
                               : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                              : 0;
    if (length == 0 || left < length) {
        return 0;
    }
    unsigned long codePoint = lead & (0x7fU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xc0U) != 0x80U) {
            return 0;
        }
        codePoint = codePoint << 6 | (bytes[i] & 0x3fU);
    }
    const unsigned long smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    const bool surrogate = codePoint >= 0xd800 && codePoint <= 0xdfff;
    return codePoint < smallest || codePoint > 0x10ffff || surrogate ? 0 : length;
}

} // namespace

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = bytes[i];
        const std::size_t length = utf8Length(bytes + i, text.size() - i);
        char escaped[8];
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || length == 0) {
            std::snprintf(escaped, sizeof escaped, c < 0x20 ? "\\u%04x" : "\\udc%02x", c);
            quoted += escaped;
        } else {
            quoted.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return quoted + "\"";
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
