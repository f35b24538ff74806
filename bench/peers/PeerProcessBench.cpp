// Child processes through Ostrel, the raw calls and each peer's process class: a program started
// and waited for (/bin/true), and a program whose standard output is read to its end through a
// pipe (seq 1 20000, 108,894 bytes: more than a pipe holds, so the reading has to keep pace with
// the child). The raw variant is the traditional fork, exec and waitpid, the sequence that
// Ostrel::Process and the three peers use; posix_spawn, the mechanism of Ostrel::Command, is
// shown for information in both rows. Ostrel reads the output in two ways: Child::readStdout, a
// read loop as the others have, and Child::communicate, the poll loop that also feeds the input
// and reads the error stream (here without input, and with the output pipe alone).
#include <Ostrel/Command.h>
#include <Ostrel/Process.h>

#include "peers/Peers.h"

#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>
#include <Poco/StreamCopier.h>

#include <boost/process.hpp>

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <sstream>
#include <string>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using OstrelPeers::add;
using OstrelPeers::expect;

// ---- Start a program and wait for it: the exit code ----------------------------------------

// The exit code in a wait status, or -1 for a child that a signal ended.
int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct RawStart {
    static constexpr const char* name = "raw:fork+execv+waitpid";
    struct Object {};
    static int run(Object&, const char* program) {
        char* argv[] = {const_cast<char*>(program), nullptr};
        const pid_t pid = fork();
        if (pid == 0) {
            execv(program, argv);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return exitCode(status);
    }
};
struct PosixStart {
    static constexpr const char* name = "posix:posix_spawn+waitpid";
    struct Object {};
    static int run(Object&, const char* program) {
        char* argv[] = {const_cast<char*>(program), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
            return -1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return exitCode(status);
    }
};
struct OstrelProcessStart {
    static constexpr const char* name = "ostrel:Process::start+join";
    using Object = Ostrel::Process;
    static int run(Object& process, const char* program) {
        char* argv[] = {const_cast<char*>(program), nullptr};
        process.start(argv);
        return process.join();
    }
};
struct OstrelCommandStart {
    static constexpr const char* name = "ostrel:Command::start+Child::wait";
    struct Object {};
    static int run(Object&, const char* program) {
        return Ostrel::Command(program).start().wait().code;
    }
};
struct PocoStart {
    static constexpr const char* name = "poco:Poco::Process::launch+ProcessHandle::wait";
    struct Object {};
    static int run(Object&, const char* program) {
        return Poco::Process::launch(program, Poco::Process::Args()).wait();
    }
};
struct BoostStart {
    static constexpr const char* name = "boost:boost::process::child+wait";
    struct Object {};
    static int run(Object&, const char* program) {
        boost::process::child child(boost::process::exe = program);
        child.wait();
        return child.exit_code();
    }
};
// A QProcess can start another program once the last one has finished.
struct QtStart {
    static constexpr const char* name = "qt:QProcess::start+waitForFinished";
    using Object = QProcess;
    static int run(Object& process, const char* program) {
        process.start(QString::fromUtf8(program), QStringList());
        process.waitForFinished(-1);
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
};

template <class Side> void startWait(benchmark::State& state) {
    typename Side::Object object;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Side::run(object, "/bin/true"));
    }
}

// Every side reports the exit codes of /bin/true and /bin/false.
template <class Side> void checkStartWait() {
    typename Side::Object object;
    const int success = Side::run(object, "/bin/true");
    const int failure = Side::run(object, "/bin/false");
    expect(success == 0 && failure == 1, "ProcessStart", Side::name,
           "exit codes " + std::to_string(success) + ", " + std::to_string(failure));
}

// ---- Read a child's standard output to its end ---------------------------------------------

const char* const seqPath = "/usr/bin/seq";

// Everything readable from fd until end of file.
std::string readAll(int fd) {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    return text;
}

struct RawCapture {
    static constexpr const char* name = "raw:pipe+fork+dup2+execv+read+waitpid";
    static std::string run() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return "";
        }
        char* argv[] = {const_cast<char*>(seqPath), const_cast<char*>("1"),
                        const_cast<char*>("20000"), nullptr};
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(ends[1], 1);
            execv(seqPath, argv);
            _exit(127);
        }
        close(ends[1]);
        std::string text = readAll(ends[0]);
        close(ends[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        return exitCode(status) == 0 ? text : "";
    }
};
struct PosixCapture {
    static constexpr const char* name = "posix:pipe+posix_spawn(adddup2)+read+waitpid";
    static std::string run() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return "";
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        char* argv[] = {const_cast<char*>(seqPath), const_cast<char*>("1"),
                        const_cast<char*>("20000"), nullptr};
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, seqPath, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        std::string text = spawned == 0 ? readAll(ends[0]) : "";
        close(ends[0]);
        int status = 0;
        if (spawned == 0) {
            waitpid(pid, &status, 0);
        }
        return spawned == 0 && exitCode(status) == 0 ? text : "";
    }
};
struct OstrelCapture {
    static constexpr const char* name = "ostrel:Command::stdoutTo(Pipe)+Child::readStdout+wait";
    static std::string run() {
        Ostrel::Child child =
            Ostrel::Command(seqPath).arg("1").arg("20000").stdoutTo(Ostrel::Command::Pipe).start();
        std::string text = child.readStdout();
        return child.wait().code == 0 ? text : "";
    }
};
struct OstrelCommunicate {
    static constexpr const char* name = "ostrel:Command::stdoutTo(Pipe)+Child::communicate";
    static std::string run() {
        Ostrel::Child::Output output = Ostrel::Command(seqPath)
                                           .arg("1")
                                           .arg("20000")
                                           .stdoutTo(Ostrel::Command::Pipe)
                                           .start()
                                           .communicate();
        return output.status.code == 0 ? std::move(output.out) : "";
    }
};
// The usage example of Poco::Process::launch, the stream read by Poco's StreamCopier.
struct PocoCapture {
    static constexpr const char* name = "poco:Process::launch(Pipe)+PipeInputStream+wait";
    static std::string run() {
        Poco::Pipe output;
        Poco::ProcessHandle handle =
            Poco::Process::launch(seqPath, {"1", "20000"}, nullptr, &output, nullptr);
        Poco::PipeInputStream stream(output);
        std::string text;
        Poco::StreamCopier::copyToString(stream, text);
        return handle.wait() == 0 ? text : "";
    }
};
struct BoostCapture {
    static constexpr const char* name = "boost:process::child(std_out>ipstream)+wait";
    static std::string run() {
        boost::process::ipstream stream;
        boost::process::child child(boost::process::exe = seqPath,
                                    boost::process::args = {"1", "20000"},
                                    boost::process::std_out > stream);
        std::ostringstream text;
        text << stream.rdbuf();
        child.wait();
        return child.exit_code() == 0 ? text.str() : "";
    }
};
struct QtCapture {
    static constexpr const char* name = "qt:QProcess::start+waitForFinished+readAllStandardOutput";
    static std::string run() {
        QProcess process;
        process.start(QString::fromUtf8(seqPath), {"1", "20000"});
        process.waitForFinished(-1);
        const QByteArray text = process.readAllStandardOutput();
        return process.exitCode() == 0 ? text.toStdString() : "";
    }
};

template <class Side> void capture(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(Side::run().size());
    }
}

// Every side reads exactly the lines 1 to 20000.
template <class Side> void checkCapture() {
    std::string expected;
    for (int line = 1; line <= 20000; ++line) {
        expected += std::to_string(line) + "\n";
    }
    const std::string text = Side::run();
    expect(text == expected, "CaptureOutput", Side::name, std::to_string(text.size()) + " bytes");
}

// ---- The rows: each checks its sides, then registers them -----------------------------------

template <class... Sides> void startRow() {
    (checkStartWait<Sides>(), ...);
    (add(std::string("ProcessStart/") + Sides::name, startWait<Sides>)->UseRealTime(), ...);
}
template <class... Sides> void captureRow() {
    (checkCapture<Sides>(), ...);
    (add(std::string("CaptureOutput/") + Sides::name, capture<Sides>)->UseRealTime(), ...);
}

void rows() {
    startRow<RawStart, OstrelProcessStart, OstrelCommandStart, PocoStart, BoostStart, QtStart,
             PosixStart>();
    captureRow<RawCapture, OstrelCapture, OstrelCommunicate, PocoCapture, BoostCapture, QtCapture,
               PosixCapture>();
}

} // namespace

int main(int argc, char** argv) {
    return OstrelPeers::run(argc, argv, rows);
}
