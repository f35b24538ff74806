// One talk with a child over the parent's ends of its standard pipes, served in the calling
// thread by one poll loop: Child::communicate() and communicateFor() drive it and look after the
// child itself. Internal: neither installed nor exported.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Ostrel::internal {

// Blocks SIGPIPE in the calling thread while it is raised, so that a write to a pipe whose reader
// has gone fails with EPIPE instead of ending the process, and takes the SIGPIPE such a write
// left pending. The caller's mask and pending signals are as before once it is lowered: a SIGPIPE
// that was already blocked stays blocked, one that was already pending is left for the caller.
// Belongs to one thread.
class SigpipeShield {
public:
    SigpipeShield() noexcept = default;
    // Lowers the shield.
    ~SigpipeShield();
    SigpipeShield(const SigpipeShield&) = delete;
    SigpipeShield& operator=(const SigpipeShield&) = delete;

    void raise() noexcept;
    // After a write failed with EPIPE: takes the SIGPIPE it raised, unless one was pending before.
    void takeRaised() noexcept;
    void lower() noexcept;

private:
    bool _raised = false;
    bool _wasBlocked = false;
    bool _wasPending = false;
};

// Writes input to the child's standard input pipe without blocking and reads its standard output
// and error pipes, each into its text, as poll reports them ready. in, out and err are the
// Child's own descriptors (-1: no pipe): each is closed and set to -1 when its stream ends - the
// input when all of it is written or the child has closed its end, an output at end of file - so
// the Child always knows what it still owns, even when a call throws. The input pipe is
// non-blocking for the talk (set back if the talk ends with it open) and SIGPIPE is shielded
// while input is written. Throws Command::Exception "Cannot read from child", "Cannot write to
// child" or "Cannot wait for child" (poll) with the error; grows the texts without a limit.
class Talk {
public:
    // An input pipe with nothing to write is closed at once.
    Talk(int& in, int& out, int& err, std::string_view input, std::string& outText,
         std::string& errText);
    // Sets the input pipe back to blocking if it is still open, and lowers the shield.
    ~Talk();
    Talk(const Talk&) = delete;
    Talk& operator=(const Talk&) = delete;

    // True while one of the pipes is open.
    bool pipesOpen() const noexcept { return _in != -1 || _out != -1 || _err != -1; }

    // Waits at most timeout milliseconds (-1: no limit) for an open pipe or processFd (-1: none)
    // to become ready, then serves every ready pipe. True when it is time to look at the child:
    // processFd is readable, or the time ran out.
    bool step(int processFd, int timeout);

    // Reads what the output pipes hold now, without waiting for an end of file that a
    // descendant may hold back, then closes every pipe end.
    void finish();

    // Bytes of input the child took: all once written whole; otherwise those that left the pipe.
    std::size_t inputTaken() const noexcept { return _taken; }

private:
    void write();
    void closeInput() noexcept;

    int& _in;
    int& _out;
    int& _err;
    std::string_view _input;
    std::size_t _written = 0;
    std::size_t _taken = 0;
    std::string& _outText;
    std::string& _errText;
    SigpipeShield _shield;
};

} // namespace Ostrel::internal
