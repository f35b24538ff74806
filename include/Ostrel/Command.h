/// \file
/// \brief The public header of Ostrel::Command.

/// \class Ostrel::Command
/// \brief A program to run, with its arguments, environment, directory and standard streams;
/// start() runs it as a Child.
///
/// The setters return the object, so that a command reads as one expression:
/// \code
/// Ostrel::Child child = Ostrel::Command("make").arg("-j2").searchPath(true)
///                           .directory("/src/app").env("LANG", "C")
///                           .stdoutTo(Ostrel::Command::Pipe).start();
/// std::string log = child.readStdout();
/// Ostrel::ExitStatus status = child.wait();
/// \endcode
///
/// start() runs the program with posix_spawn (no fork of the caller's memory, so it is safe in a
/// threaded program and fast in a large one) and reports at once a program that cannot be run:
/// it throws Command::Exception "Cannot run program - " + the system's text of the error
/// (ENOENT "No such file or directory" for a missing program, EACCES "Permission denied" for a
/// directory or a file without execute permission, ...); error() gives the number. (Under
/// valgrind, which runs the spawn's clone as a fork, the error is lost: such a child exits 127.)
///
/// - The program is used as given unless searchPath(true): then a name without "/" is looked up
///   in the caller's PATH, as the shell and posix_spawnp do. The child's argv[0] is the program
///   as given.
/// - The environment starts as the caller's and is edited in call order: clearEnv() empties it
///   (earlier edits included), env() sets a variable, unsetEnv() removes one. A name that is
///   empty or holds "=" or a null byte throws "Invalid environment variable name - Invalid
///   argument" (EINVAL) at once.
/// - directory() is the child's working directory.
/// - newProcessGroup(true) makes the child the leader of a process group of its own, so that
///   Child::killGroup() reaches it and everything it starts.
/// - Each standard stream is inherited (the default), /dev/null, a pipe whose other end the
///   Child owns, or a file: stdinFrom(path) opens it for reading, stdoutTo(path) and
///   stderrTo(path) create or truncate it (mode 0666 reduced by the umask). Relative paths are
///   taken from the caller's working directory: the files are opened by start() in the caller,
///   which throws "Cannot open file for child - " + the system's text when one cannot be opened.
/// - Only the three standard descriptors reach the child: every other descriptor of the caller
///   is closed in the child before the program runs, whatever its close-on-exec flag.
/// - Signal dispositions and the signal mask are the caller's, as exec leaves them (caught
///   signals return to their default action; ignored ones stay ignored).
///
/// start() creates its pipes and files close-on-exec, so that a child started at the same time
/// by another thread does not inherit them.
///
/// Not thread-safe: an object has no lock. start() is const and may be called from several
/// threads on an object that no thread changes.
#pragma once

#include <Ostrel/Child.h>
#include <Ostrel/Export.h>

#include <string>
#include <vector>

namespace Ostrel {

class OSTREL_API Command {
public:
    /// The component exception of Command and Child, thrown by value; it has no base class, so
    /// catch it by its own name (std::exception does not catch it).
    class OSTREL_API Exception {
    public:
        /// The message is text + " - " + the system's text of error, or text alone for error 0.
        Exception(const char* text, int error);
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;
        /// The error number (ENOENT, EACCES, ...), 0 when there is none: it tells a program that
        /// is not there from one that cannot be run.
        int error() const noexcept { return _error; }

    private:
        std::string _message;
        int _error;
    };

    /// Where a standard stream of the child goes.
    enum Stream {
        Inherit, ///< The caller's descriptor (the default).
        Null,    ///< /dev/null.
        Pipe     ///< A pipe whose other end the Child owns.
    };

    /// A command that runs program with no arguments.
    explicit Command(std::string program);

    /// Appends one argument.
    Command& arg(std::string value);
    /// Appends the arguments in order.
    Command& args(std::vector<std::string> values);
    /// Sets the variable name to value in the child's environment.
    Command& env(std::string name, std::string value);
    /// Removes the variable name from the child's environment.
    Command& unsetEnv(std::string name);
    /// Empties the child's environment, edits made so far included.
    Command& clearEnv();
    /// The child's working directory; empty (the default) keeps the caller's.
    Command& directory(std::string path);
    /// Looks a program name without "/" up in PATH when on (default off).
    Command& searchPath(bool on);
    /// Starts the child in a process group of its own when on (default off).
    Command& newProcessGroup(bool on);
    /// The child's standard input: Inherit, Null or Pipe.
    Command& stdinFrom(Stream s);
    /// The child's standard input read from the file path.
    Command& stdinFrom(std::string path);
    /// The child's standard output: Inherit, Null or Pipe.
    Command& stdoutTo(Stream s);
    /// The child's standard output written to the file path (created or truncated).
    Command& stdoutTo(std::string path);
    /// The child's standard error: Inherit, Null or Pipe.
    Command& stderrTo(Stream s);
    /// The child's standard error written to the file path (created or truncated).
    Command& stderrTo(std::string path);

    /// Runs the program and returns its Child. Throws the texts of the class notes.
    Child start() const;

private:
    // One standard stream: a Stream, or a file when path is not empty.
    struct Target {
        Stream stream = Inherit;
        std::string path;
    };
    // One environment edit; an empty name clears everything, no value unsets.
    struct EnvEdit {
        std::string name;
        std::string value;
        bool set;
    };

    std::vector<std::string> _argv;
    std::vector<EnvEdit> _envEdits;
    std::string _directory;
    bool _searchPath = false;
    bool _newGroup = false;
    Target _streams[3];
};

} // namespace Ostrel
