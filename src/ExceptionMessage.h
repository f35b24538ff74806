// The message of every component exception: text, or text + " - " + detail.
#pragma once

#include <string>

namespace Ostrel::internal {

// A null detail means none. Not exported: the library's visibility is hidden by default.
inline std::string exceptionMessage(const char* text, const char* detail) {
    std::string message(text);
    if (detail != nullptr) {
        message += " - ";
        message += detail;
    }
    return message;
}

} // namespace Ostrel::internal
