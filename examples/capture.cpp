// Runs a program with some input and a time limit, and prints what it wrote to each stream and
// how it ended, with Child::communicateFor.
//
// usage: example_capture [MILLISECONDS INPUT PROGRAM [ARG...]]
// PROGRAM is looked up in PATH; INPUT is written to its standard input. Without arguments it runs
// a shell script that walks into the three classic traps of talking to a child: it stops reading
// its input early (a plain write would kill this program with SIGPIPE), writes a lot to standard
// error before its standard output ends (reading one stream and then the other would deadlock),
// and leaves a background job holding its output pipe (an end of file would never come). The
// talk ends at the limit all the same; the job, in the child's process group, is ended then.
#include <Ostrel/Command.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <signal.h>

namespace {

// The text as lines, or its first 200 bytes and how many more there were.
std::string shortened(const std::string& text) {
    constexpr std::size_t shown = 200;
    if (text.size() > shown) {
        return text.substr(0, shown) + "... (" + std::to_string(text.size() - shown) +
               " more bytes)\n";
    }
    return text.empty() || text.back() == '\n' ? text : text + "\n";
}

} // namespace

int main(int argc, char** argv) {
    const bool demo = argc < 4;
    if (argc != 1 && demo) {
        std::cerr << "usage: example_capture [MILLISECONDS INPUT PROGRAM [ARG...]]\n";
        return 2;
    }
    const unsigned long limit = demo ? 500 : std::strtoul(argv[1], nullptr, 10);
    std::string input = demo ? "" : argv[2];
    Ostrel::Command command(demo ? "/bin/sh" : argv[3]);
    if (demo) {
        for (int line = 1; line <= 20000; ++line) {
            input += "line " + std::to_string(line) + "\n";
        }
        command.args({"-c", "read first; echo \"took: $first\"; "
                            "head -c 300000 /dev/zero | tr '\\0' . >&2; "
                            "sleep 30 & echo 'left a job running'"});
    } else {
        command.searchPath(true).args(std::vector<std::string>(argv + 4, argv + argc));
    }
    command.newProcessGroup(true)
        .stdinFrom(Ostrel::Command::Pipe)
        .stdoutTo(Ostrel::Command::Pipe)
        .stderrTo(Ostrel::Command::Pipe);

    try {
        Ostrel::Child child = command.start();
        const Ostrel::Child::Output output = child.communicateFor(limit, input);
        std::cout << "--- standard output (" << output.out.size() << " bytes)\n"
                  << shortened(output.out) << "--- standard error (" << output.err.size()
                  << " bytes)\n"
                  << shortened(output.err) << "--- input taken: " << output.inputWritten << " of "
                  << input.size() << " bytes\n";
        if (output.status.exited) {
            std::cout << "--- exited with code " << output.status.code << '\n';
        } else {
            std::cout << "--- ended by signal " << output.status.signal << '\n';
        }
        if (output.timedOut) {
            // Whatever the child left behind in its process group goes too.
            (void)::kill(-child.id(), SIGKILL);
            std::cout << "--- the " << limit << " ms limit ended the talk\n";
        }
        if (demo) {
            return output.timedOut && output.out.find("left a job running") != std::string::npos
                       ? 0
                       : 1;
        }
    } catch (const Ostrel::Command::Exception& error) {
        std::cerr << "example_capture: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
