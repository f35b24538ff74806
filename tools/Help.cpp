// ostrel help, and the texts that --help prints.
#include "Help.h"

#include <Ostrel/Version.h>

#include <iostream>

namespace OstrelTool {

namespace {

// The manual page before its COMMANDS section: left-aligned and unhyphenated, so that a long usage
// stays as it is written.
const char* const manHead = R"(.ad l
.nh
.SH NAME
ostrel \- the Ostrel library's services from a shell
.SH SYNOPSIS
.B ostrel
.I COMMAND
.RI [ ARG ...]
.br
.B ostrel
.RB [ \-\-help " | " \-\-version ]
.SH DESCRIPTION
.B ostrel
reaches the services of libOstrel from a shell: the system information record, path
normalisation and wildcard scans, the lookup of files in the standard search directories, child
processes, locks on files, the loading of shared libraries, the named shared-memory objects
and semaphores, and changes to files.
.PP
Every command reads its arguments by the same rules.
An option takes its value as the next word or after an equals sign
.RB ( "\-\-timeout 300" " or " \-\-timeout=300 );
.B \-\-
ends the options;
.B \-\-help
or
.B \-h
among the options prints the command's usage and help;
any other word starting with
.B \-
there is an unknown option, a usage error.
Every error line on standard error starts with
.RI \(lqostrel " COMMAND" :\(rq.
When a write on standard output fails, the tool prints
.RI \(lqostrel:\ write\ error: " text" \(rq
on standard error and exits 1.
.SH OPTIONS
.TP
.BR \-h ", " \-\-help
Print the usage of every command.
.TP
.B \-\-version
Print the version of the tool and the library.
)";

// The manual page after its COMMANDS section.
const char* const manTail = R"(.SH EXIT STATUS
.TP
.B 0
Success.
.TP
.B 1
The command failed; its error lines are on standard error.
.TP
.B 2
The arguments do not fit the usage, which follows the error line on standard error.
.PP
.B ostrel run
exits with the code of its child instead (128 + N when signal N ended it), with 124 when
.B \-\-timeout
ended the child (137 when that took SIGKILL), with 125 for its own usage errors and failures,
126 for a program it cannot run and 127 for one it cannot find.
.PP
.B ostrel lock
exits with the code of its child too, with 1 (or the
.B \-\-conflict\-exit\-code
given) when the lock could not be had in time, and with 125 for a usage error or a lock file that cannot be opened.
.PP
.B ostrel watch
exits 1 also when its
.B \-\-timeout
passed without an event, and with 2 for a usage error or a path it cannot watch.
.SH ENVIRONMENT
.TP
.B OSTREL_DIR
A search directory that
.B ostrel info
adds to the standard ones
.RB ( "ostrel locate \-\-env"
.I NAME
reads
.IB NAME _DIR
instead).
.TP
.B LD_LIBRARY_PATH
The start of the library search path that
.B ostrel ldpath
prints (and, with
.BR \-\-loader ,
the first directories the loader searches).
.TP
.BR XDG_CONFIG_HOME ", " XDG_DATA_HOME ", " XDG_STATE_HOME ", " XDG_CACHE_HOME ", " XDG_RUNTIME_DIR
The base directories that
.B ostrel info \-\-xdg
prints, where they hold absolute paths;
.B HOME
gives the defaults.
.SH SEE ALSO
.BR dlopen (3),
.BR dlinfo (3),
.BR fcntl (2),
.BR fnmatch (3),
.BR inotify (7),
.BR shm_overview (7),
.BR sem_overview (7),
.BR signal (7),
.BR timeout (1)
)";

// text as roff input: backslashes and minus signs escaped, and a line that would start with a
// control character guarded, so that it prints as it is.
std::string roff(const std::string& text) {
    std::string result;
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && (c == '.' || c == '\'')) {
            result += "\\&";
        }
        result += c == '\\' ? "\\e" : c == '-' ? "\\-" : std::string(1, c);
        lineStart = c == '\n';
    }
    return result;
}

} // namespace

void printUsage(std::ostream& out) {
    out << "usage: ostrel COMMAND [ARG...]\n\ncommands:\n";
    for (const auto& command : commands()) {
        out << "  ostrel " << command.usage << '\n';
    }
    out << "\n\"ostrel help COMMAND\" explains one command; \"ostrel --version\" prints the "
           "version.\n";
}

void printCommandHelp(std::ostream& out, const Command& command) {
    out << "usage: ostrel " << command.usage << '\n' << command.help << '\n';
}

void printManPage(std::ostream& out) {
    out << ".TH OSTREL 1 \"\" \"ostrel " OSTREL_VERSION_STRING "\" \"User Commands\"\n"
        << manHead << ".SH COMMANDS\n";
    for (const auto& command : commands()) {
        out << ".TP\n.B ostrel " << roff(command.usage) << '\n' << roff(command.help) << '\n';
    }
    out << manTail;
}

int help(const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {{{"--man", false}}, {}, 1});
    const Args& names = parsed.operands;
    if (parsed.has("--man")) {
        if (!names.empty()) {
            throw UsageError{"--man takes no COMMAND"};
        }
        printManPage(std::cout);
        return ExitSuccess;
    }
    if (names.empty()) {
        printUsage(std::cout);
        return ExitSuccess;
    }
    const Command* command = findCommand(names[0]);
    if (command == nullptr) {
        throw UsageError{"unknown command \"" + names[0] + "\""};
    }
    printCommandHelp(std::cout, *command);
    return ExitSuccess;
}

} // namespace OstrelTool
