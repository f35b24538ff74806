// What the ostrel tool writes besides a command's own output.
#pragma once

#include <ios>
#include <sstream>
#include <streambuf>
#include <string>

namespace OstrelTool {

// Prints "ostrel COMMAND: MESSAGE" on stderr, or "ostrel: MESSAGE" for an empty command, after
// flushing stdout so that the line comes after what the command printed before it.
void printError(const std::string& command, const std::string& message);

// text as a JSON string: quotes, backslashes and control characters escaped, valid UTF-8 kept as
// it is, and each byte that is not part of valid UTF-8 written as "\udcXX" (XX its value, the
// form Python's surrogateescape reads back), so that any file name comes through whole.
std::string jsonString(const std::string& text);

// While it lives, std::cout (the tool's and the library's) writes through this buffer, which
// hands everything to stdio's stdout as std::cout does by itself and keeps the error of the first
// write that fails: later, stdio has dropped the data it could not write and errno belongs to
// another call, so that a failure early in a long output would be lost or misreported.
class CheckedStdout : public std::streambuf {
public:
    CheckedStdout();
    // Gives std::cout its own buffer back.
    ~CheckedStdout() override;
    CheckedStdout(const CheckedStdout&) = delete;
    CheckedStdout& operator=(const CheckedStdout&) = delete;

    // Flushes stdout. When a write failed, prints "ostrel: write error: " and its error's text on
    // stderr and returns ExitFailure; otherwise returns code.
    int finish(int code);

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

private:
    void noteError();

    std::streambuf* _previous;
    // The errno of the first failed write, or 0.
    int _error = 0;
};

// While it lives, what is written to std::cout is dropped; the stream's state is kept.
class DroppedStdout {
public:
    DroppedStdout();
    ~DroppedStdout();
    DroppedStdout(const DroppedStdout&) = delete;
    DroppedStdout& operator=(const DroppedStdout&) = delete;

private:
    std::stringbuf _dropped;
    std::ios::iostate _state;
    std::streambuf* _previous;
};

} // namespace OstrelTool
