// The texts the library reports: the system's text of an error number, and the messages "text"
// and "text - detail" that the component exceptions carry and SharedMutex and SharedSemaphore
// print. Internal: neither installed nor exported (the library's visibility is hidden).
#pragma once

#include <cstring>
#include <string>

namespace Ostrel::internal {

// strerror_r gives the text in the buffer (int result) or returns it (char* result), depending
// on the C library's flavour.
inline const char* errorTextOf(int /*result*/, const char* buffer) {
    return buffer;
}
inline const char* errorTextOf(const char* text, const char* /*buffer*/) {
    return text;
}

// strerror's text of error. Failures may be reported on any thread, and strerror may reuse one
// buffer for all of them; strerror_r writes into the caller's.
inline std::string errorText(int error) {
    char buffer[256] = "";
    return errorTextOf(::strerror_r(error, buffer, sizeof buffer), buffer);
}

// text, or text + " - " + detail; a null detail means none.
inline std::string composeMessage(const char* text, const char* detail) {
    std::string message(text);
    if (detail != nullptr) {
        message += " - ";
        message += detail;
    }
    return message;
}

} // namespace Ostrel::internal
