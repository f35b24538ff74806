#include <Ostrel/FileLock.h>

#include "Messages.h"
#include "sync/Deadline.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Ostrel {

namespace {

// The limit of tryLockFor that means none: the wait sleeps in the kernel.
constexpr unsigned long noLimit = ULONG_MAX;
// The pauses between the tries of a timed wait: doubling from the first to the longest.
constexpr long firstPause = 1000000L, longestPause = 10000000L;

[[noreturn]] void cannotLock(int error) {
    throw FileLock::Exception("Cannot lock file", error);
}

// The file at path opened for reading and writing, created when missing, close-on-exec, on a
// descriptor above 2; -1 with errno set on failure. A standard descriptor that the caller has
// closed would otherwise become the lock file, and a child's standard stream with it.
int openAbove(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL; // the system would open the path up to the NUL byte
        return -1;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0 && fd <= 2) {
        const int above = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        const int error = errno;
        (void)::close(fd);
        errno = error;
        fd = above;
    }
    return fd;
}

// F_OFD_SETLK, or F_OFD_SETLKW when wait, of type on the whole file (start 0, length 0: to its
// end, however long it grows): 0, EAGAIN when another holder has the lock, or the error. A signal
// that interrupts the wait does not end it.
int setLock(int fd, short type, bool wait) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    while (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request) == -1) {
        if (errno != EINTR) {
            return errno == EACCES ? EAGAIN : errno;
        }
    }
    return 0;
}

// time plus nanoseconds (less than a second).
timespec later(timespec time, long nanoseconds) noexcept {
    time.tv_nsec += nanoseconds;
    if (time.tv_nsec >= internal::nanosPerSecond) {
        ++time.tv_sec;
        time.tv_nsec -= internal::nanosPerSecond;
    }
    return time;
}

bool before(const timespec& a, const timespec& b) noexcept {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Sleeps until wake on the monotonic clock, through signals.
void sleepUntil(const timespec& wake) {
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

// The tries after the first, each after a pause, the last one at deadline: 0 when taken, EAGAIN
// when the lock was still held at the deadline, or the error of a failed try.
int retryUntil(int fd, short type, const timespec& deadline) {
    long pause = firstPause;
    for (;;) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const timespec next = later(now, pause);
        const bool last = !before(next, deadline);
        sleepUntil(last ? deadline : next);
        const int error = setLock(fd, type, false);
        if (error != EAGAIN || last) {
            return error;
        }
        pause = std::min(pause * 2, longestPause);
    }
}

#if defined(OSTREL_THREAD_SANITIZER)
// ThreadSanitizer does not see the kernel's lock: each hand-over is announced to it as a release
// and an acquire on an address chosen by the file's device and inode, the same for every object
// of the file. Two files that share an address only order more than they need to.
char handOvers[64];

void* handOverAddress(int fd) noexcept {
    struct stat info {};
    (void)::fstat(fd, &info);
    return &handOvers[(info.st_dev * 31U + info.st_ino) % sizeof handOvers];
}
void announceAcquired(int fd) noexcept {
    __tsan_acquire(handOverAddress(fd));
}
void announceReleasing(int fd) noexcept {
    __tsan_release(handOverAddress(fd));
}
#else
void announceAcquired(int /*fd*/) noexcept {}
void announceReleasing(int /*fd*/) noexcept {}
#endif

} // namespace

FileLock::Exception::Exception(const char* text, int error)
    : _message(internal::composeMessage(text,
                                        error == 0 ? nullptr : internal::errorText(error).c_str())),
      _error(error) {}

FileLock::Exception::~Exception() = default;

const char* FileLock::Exception::what() const {
    return _message.c_str();
}

FileLock::FileLock(std::string path) : _path(std::move(path)), _fd(openAbove(_path)) {
    if (_fd == -1) {
        throw Exception("Cannot open lock file", errno);
    }
}

FileLock::~FileLock() {
    close();
}

FileLock::FileLock(FileLock&& other) noexcept
    : _path(std::move(other._path)), _fd(std::exchange(other._fd, -1)) {
    other._path.clear();
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        close();
        _path = std::move(other._path);
        other._path.clear();
        _fd = std::exchange(other._fd, -1);
    }
    return *this;
}

void FileLock::lock() {
    (void)take(F_WRLCK, noLimit);
}

bool FileLock::tryLock() {
    return take(F_WRLCK, 0);
}

bool FileLock::tryLockFor(unsigned long milliseconds) {
    return take(F_WRLCK, milliseconds);
}

void FileLock::lockShared() {
    (void)take(F_RDLCK, noLimit);
}

bool FileLock::tryLockShared() {
    return take(F_RDLCK, 0);
}

bool FileLock::tryLockSharedFor(unsigned long milliseconds) {
    return take(F_RDLCK, milliseconds);
}

void FileLock::unlock() noexcept {
    if (_fd != -1) {
        announceReleasing(_fd);
        (void)setLock(_fd, F_UNLCK, false);
    }
}

bool FileLock::take(short type, unsigned long milliseconds) {
    const bool timed = milliseconds != 0 && milliseconds != noLimit;
    const timespec deadline = timed ? internal::monotonicDeadline(milliseconds) : timespec{};
    int error = setLock(_fd, type, milliseconds == noLimit);
    if (error == EAGAIN && timed) {
        error = retryUntil(_fd, type, deadline);
    }
    if (error == 0) {
        announceAcquired(_fd);
        return true;
    }
    if (error != EAGAIN) {
        cannotLock(error);
    }
    return false;
}

void FileLock::close() noexcept {
    if (_fd != -1) {
        unlock();
        (void)::close(_fd);
        _fd = -1;
    }
}

} // namespace Ostrel
