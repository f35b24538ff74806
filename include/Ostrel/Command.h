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
/// directory or a file without execute permission, ...); error() gives the number. A file
/// without "#!" that the system cannot run fails with ENOEXEC "Exec format error": unlike the
/// shells, start() does not hand it to /bin/sh. (Under valgrind, which runs the spawn's clone as
/// a fork, the error of posix_spawn is lost: such a child exits 127. The own launcher below
/// reports it there too.)
///
/// - The program is used as given unless searchPath(true): then a name without "/" is looked up
///   in the caller's PATH, as the shell and posix_spawnp do. The child's argv[0] is the program
///   as given.
/// - The environment starts as the caller's and is edited in call order: clearEnv() empties it
///   (earlier edits included), env() sets a variable, unsetEnv() removes one. A name that is
///   empty or holds "=" or a null byte throws "Invalid environment variable name - Invalid
///   argument" (EINVAL) at once.
/// - directory() is the child's working directory. One that the child cannot enter throws
///   "Cannot enter directory for child - " + the system's text (ENOENT, ENOTDIR, EACCES), apart
///   from a program that cannot be run.
/// - newProcessGroup(true) makes the child the leader of a process group of its own, so that
///   Child::killGroup() reaches it and everything it starts. newSession(true) makes it the
///   leader of a new session (setsid), and so of a new process group too: a terminal the caller
///   has no longer reaches it (no SIGINT from Ctrl-C, no SIGHUP when the terminal goes).
/// - Each standard stream is inherited (the default), /dev/null, a pipe whose other end the
///   Child owns, or a file: stdinFrom(path) opens it for reading, stdoutTo(path) and
///   stderrTo(path) create or truncate it (mode 0666 reduced by the umask). Relative paths are
///   taken from the caller's working directory: the files are opened by start() in the caller,
///   which throws "Cannot open file for child - " + the system's text when one cannot be opened.
///   stderrTo(ToStdout) sends standard error wherever standard output goes, its pipe included
///   (2>&1; Child::stderrFd() is then -1); with standard output inherited from a caller whose
///   descriptor 1 is closed, start() throws "Cannot run program - Bad file descriptor", as the
///   shells refuse 2>&1 there. ToStdout for standard input or output throws "Only standard error
///   can go to standard output - Invalid argument" (EINVAL) at once.
/// - Only the three standard descriptors and those given to passFd() reach the child: every
///   other descriptor of the caller is closed in the child before the program runs, whatever its
///   close-on-exec flag, so a child never holds a pipe, socket or lock file the caller opened.
///   passFd(parentFd, childFd) gives the child a copy of parentFd as descriptor childFd; a
///   later passFd() to the same childFd replaces the earlier one. A childFd below 3 throws
///   "Cannot pass descriptor to child - Invalid argument" (EINVAL) at once; a parentFd that is
///   not open makes start() throw "Cannot pass descriptor to child - Bad file descriptor"
///   (EBADF). start() copies each parentFd above the highest childFd first, so a childFd at
///   the descriptor limit (RLIMIT_NOFILE) or just below it makes start() throw "Cannot pass
///   descriptor to child" with EINVAL or EMFILE.
/// - restoreSignals(true), the default, starts the child with no signal blocked and every signal
///   at its default action, whatever the caller blocked or ignored: a program started from a
///   thread that blocks SIGTERM, or from a caller that ignores SIGINT or SIGPIPE (nohup, many
///   servers), would otherwise inherit that and ignore the signals meant to stop it.
///   restoreSignals(false) keeps what exec leaves: the caller's mask and its ignored signals
///   (caught ones return to their default action).
/// - dieWithParent(signal) has the system send signal (SIGKILL, SIGTERM, ...) to the child when
///   the THREAD that called start() ends, not only when the process does: a child then does not
///   outlive a parent that is killed. Start such commands from a thread that lives as long as
///   the children should (the main thread, or a long-lived worker). The race with a parent that
///   ends while the child is being set up is closed: the child sends itself the signal when its
///   parent is already gone. The system drops the setting when the child runs a set-user-ID or
///   set-group-ID program. A signal outside 0..64 throws "Invalid signal number - Invalid
///   argument" (EINVAL) at once; 0 (the default) turns it off. posix_spawn cannot ask for this,
///   so such a command starts through the library's own launcher (a vfork-style clone on a stack
///   of its own, every signal blocked until the program runs), with the same options, texts and
///   errors. The launcher also starts commands whose descriptors posix_spawn cannot close (a C
///   library older than glibc 2.34, or passFd() to a descriptor above 66).
///
/// start() creates its pipes and files close-on-exec, so that a child started at the same time
/// by another thread does not inherit them. It is not a cancellation point: a thread
/// cancellation requested while it runs acts at the next one, so no child or descriptor is
/// lost half-way.
///
/// Not thread-safe: an object has no lock. start() is const and may be called from several
/// threads on an object that no thread changes.
#pragma once

#include <Ostrel/Child.h>
#include <Ostrel/Export.h>

#include <string>
#include <utility>
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
        Pipe,    ///< A pipe whose other end the Child owns.
        ToStdout ///< Standard error only: wherever standard output goes (2>&1).
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
    /// Starts the child in a session (and process group) of its own when on (default off).
    Command& newSession(bool on);
    /// Starts the child with no signal blocked or ignored when on (the default).
    Command& restoreSignals(bool on);
    /// Sends the child signal when the thread that starts it ends; 0 (the default): never.
    Command& dieWithParent(int signal);
    /// Gives the child a copy of parentFd as its descriptor childFd (3 or more).
    Command& passFd(int parentFd, int childFd);
    /// The child's standard input: Inherit, Null or Pipe.
    Command& stdinFrom(Stream s);
    /// The child's standard input read from the file path.
    Command& stdinFrom(std::string path);
    /// The child's standard output: Inherit, Null or Pipe.
    Command& stdoutTo(Stream s);
    /// The child's standard output written to the file path (created or truncated).
    Command& stdoutTo(std::string path);
    /// The child's standard error: Inherit, Null, Pipe or ToStdout.
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
    bool _newSession = false;
    bool _restoreSignals = true;
    int _deathSignal = 0;
    std::vector<std::pair<int, int>> _passed; // (parentFd, childFd), childFd unique
    Target _streams[3];
};

} // namespace Ostrel
