#include <Ostrel/SignalSet.h>

#include <Ostrel/Signal.h>

#include "Messages.h"
#include "sync/Deadline.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace Ostrel {

namespace {

// What the handler writes: one pipe write of at most PIPE_BUF bytes is atomic, so records never
// mix and a full pipe refuses a whole record.
struct Record {
    int signal;
    pid_t senderId;
    uid_t senderUser;
};

// The handler's state of one signal number. The handler reads it with lock-free atomics only; the
// rest belongs to the registry lock.
struct Slot {
    // The pipe of the set that holds the signal, or -1.
    std::atomic<int> writeFd{-1};
    // Handlers that may still use writeFd: the destructor waits until none is left.
    std::atomic<int> running{0};
    // A record of this signal did not fit into the full pipe.
    std::atomic<bool> merged{false};
    const SignalSet* owner = nullptr;
    struct sigaction earlier {};
};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Built without code at load time: constant initialisation only.
Slot slots[NSIG];
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;

// Whether info names the process that sent the signal.
bool fromProcess(int number, const siginfo_t* info) noexcept {
    switch (info->si_code) {
    case SI_USER:
    case SI_QUEUE:
    case SI_TKILL:
    case SI_MESGQ:
        return true;
    default:
        return number == SIGCHLD && info->si_code >= CLD_EXITED && info->si_code <= CLD_CONTINUED;
    }
}

// The handler: async-signal-safe calls and lock-free atomics only; errno is kept for the code it
// interrupted.
void onSignal(int number, siginfo_t* info, void* /*context*/) {
    const int savedErrno = errno;
    Slot& slot = slots[number];
    slot.running.fetch_add(1);
    const int fd = slot.writeFd.load();
    if (fd != -1) {
        Record record{number, 0, static_cast<uid_t>(-1)};
        if (info != nullptr && fromProcess(number, info)) {
            record.senderId = info->si_pid;
            record.senderUser = info->si_uid;
        }
        if (::write(fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
            slot.merged.store(true);
        }
    }
    slot.running.fetch_sub(1);
    errno = savedErrno;
}

bool isOurs(const struct sigaction& action) noexcept {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == onSignal;
}

// Why number cannot be taken (EINVAL, EBUSY), or 0. Called with the registry lock held.
int refusal(int number) noexcept {
    if (number <= 0 || number >= NSIG) {
        return EINVAL;
    }
    switch (number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
        return EINVAL;
    default:
        break;
    }
    if (slots[number].owner != nullptr) {
        return EBUSY;
    }
    if ((number == SIGINT || number == SIGTERM) && Signal::_the.handler != nullptr) {
        return EBUSY;
    }
    // The C library refuses the signals it keeps for itself, even to a query.
    struct sigaction current {};
    return ::sigaction(number, nullptr, &current) == -1 ? errno : 0;
}

// Around fork(): the registry stays still while the process is copied, and the child gets the
// earlier actions back, so that its signals never land in the parent's pipes.
void lockRegistry() {
    (void)pthread_mutex_lock(&registryLock);
}

void unlockRegistry() {
    (void)pthread_mutex_unlock(&registryLock);
}

void releaseInChild() {
    for (int number = 1; number < NSIG; ++number) {
        Slot& slot = slots[number];
        if (slot.owner != nullptr) {
            (void)::sigaction(number, &slot.earlier, nullptr);
            slot.writeFd.store(-1);
            slot.merged.store(false);
            slot.owner = nullptr;
        }
    }
    unlockRegistry();
}

// Holds the registry lock while it lives.
class RegistryLock {
public:
    RegistryLock() noexcept { lockRegistry(); }
    ~RegistryLock() { unlockRegistry(); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
};

} // namespace

SignalSet::Exception::Exception(const char* text, int error)
    : _message(internal::composeMessage(text, internal::errorText(error).c_str())), _error(error) {}

SignalSet::Exception::~Exception() = default;

const char* SignalSet::Exception::what() const {
    return _message.c_str();
}

SignalSet::SignalSet(std::vector<int> signals) : _signals(std::move(signals)) {
    std::sort(_signals.begin(), _signals.end());
    _signals.erase(std::unique(_signals.begin(), _signals.end()), _signals.end());
    // Registered by the first set, outside the registry lock: fork() holds the C library's lock
    // of these handlers while it takes the registry lock.
    static const bool forkHandled =
        pthread_atfork(lockRegistry, unlockRegistry, releaseInChild) == 0;
    (void)forkHandled;
    const RegistryLock locked;
    for (const int number : _signals) {
        const int error = refusal(number);
        if (error != 0) {
            throw Exception("Cannot receive signal", error);
        }
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == -1) {
        throw Exception("Cannot receive signal", errno);
    }
    _readFd = ends[0];
    _writeFd = ends[1];
    struct sigaction action {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int number : _signals) {
        Slot& slot = slots[number];
        slot.merged.store(false);
        slot.writeFd.store(_writeFd);
        (void)::sigaction(number, &action, &slot.earlier);
        slot.owner = this;
    }
}

SignalSet::~SignalSet() {
    {
        const RegistryLock locked;
        for (const int number : _signals) {
            Slot& slot = slots[number];
            if (slot.owner != this) {
                continue; // a copy of the set in a forked child: released there already
            }
            struct sigaction current {};
            if (::sigaction(number, nullptr, &current) == 0 && isOurs(current)) {
                (void)::sigaction(number, &slot.earlier, nullptr);
            }
            slot.writeFd.store(-1);
            while (slot.running.load() != 0) {
                (void)::sched_yield(); // a handler on another thread still writing
            }
            slot.merged.store(false);
            slot.owner = nullptr;
        }
    }
    (void)::close(_readFd);
    (void)::close(_writeFd);
}

// Writes one record, sender 0, for each signal of the set that did not fit into the full pipe,
// while there is room.
void SignalSet::deliverMerged() noexcept {
    for (const int number : _signals) {
        Slot& slot = slots[number];
        if (slot.merged.load() && slot.merged.exchange(false)) {
            const Record record{number, 0, static_cast<uid_t>(-1)};
            if (::write(_writeFd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
                slot.merged.store(true);
            }
        }
    }
}

std::optional<SignalSet::Received> SignalSet::take() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        Record record{};
        const ssize_t length = ::read(_readFd, &record, sizeof record);
        if (length == static_cast<ssize_t>(sizeof record)) {
            deliverMerged();
            return Received{record.signal, record.senderId, record.senderUser};
        }
        if (length == -1 && errno == EINTR) {
            continue;
        }
        deliverMerged();
    }
    return std::nullopt;
}

std::optional<SignalSet::Received> SignalSet::waitFor(unsigned long milliseconds) {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
    for (;;) {
        std::optional<Received> received = take();
        if (received) {
            return received;
        }
        const int left = internal::millisecondsUntil(deadline);
        if (left == 0) {
            return std::nullopt;
        }
        pollfd ready{_readFd, POLLIN, 0};
        (void)::poll(&ready, 1, left);
    }
}

SignalSet::Received SignalSet::wait() {
    for (;;) {
        if (std::optional<Received> received = waitFor(86400000UL)) {
            return *received;
        }
    }
}

} // namespace Ostrel
