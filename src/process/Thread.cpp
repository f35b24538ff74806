#include <Ostrel/Thread.h>

#include "Messages.h"
#include "sync/Cancellation.h"
#include "sync/Deadline.h"

#include <cerrno>
#include <climits>
#include <cstdint>

#include <poll.h>
#include <sched.h>
#include <time.h>

namespace Ostrel {

pthread_attr_t Thread::_attr;
bool Thread::_classInit = false;

namespace {

pthread_once_t attrOnce = PTHREAD_ONCE_INIT;

// Runs once per process, whichever thread constructs the first object; the results of the two
// calls are deliberately ignored (the defaults are then used).
void initAttributes() {
    (void)pthread_attr_init(&Thread::_attr);
    (void)pthread_attr_setscope(&Thread::_attr, PTHREAD_SCOPE_SYSTEM);
    Thread::_classInit = true;
}

// The exit code travels as the thread's pointer result, which is all pthread_exit carries.
void* codeToResult(int code) noexcept {
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(code));
}

// What a join that ended with error and result gives; running is cleared whatever the outcome.
int joined(Thread& thread, int error, void* result) {
    thread.running = false;
    if (error != 0) {
        throw Thread::Exception("Cannot join thread", nullptr);
    }
    if (result == PTHREAD_CANCELED) {
        return thread.exitCode;
    }
    return static_cast<int>(reinterpret_cast<std::intptr_t>(result));
}

// pthread_clockjoin_np is not interrupted by signals: it returns 0, a timeout or an error.
// ThreadSanitizer knows pthread_join and pthread_tryjoin_np but not pthread_clockjoin_np, and
// reports a thread joined behind its back as leaked: under it, the join looks every millisecond.
int joinWithin(pthread_t thread, void** result, unsigned long milliseconds) {
    const timespec deadline = internal::monotonicDeadline(milliseconds);
#if defined(OSTREL_THREAD_SANITIZER)
    int error = 0;
    while ((error = pthread_tryjoin_np(thread, result)) == EBUSY) {
        if (internal::millisecondsUntil(deadline) == 0) {
            return ETIMEDOUT;
        }
        const timespec pause{0, 1000000L};
        nanosleep(&pause, nullptr);
    }
    return error;
#else
    return pthread_clockjoin_np(thread, result, CLOCK_MONOTONIC, &deadline);
#endif
}

} // namespace

Thread::Exception::Exception(const char* text, const char* detail)
    : _message(internal::composeMessage(text, detail)) {}

Thread::Exception::~Exception() = default;

const char* Thread::Exception::what() const {
    return _message.c_str();
}

// exitCode is left unset on purpose: it holds a value only once main() returned or terminate()
// stored one, and the class's contract says the constructor does not set it.
// cppcheck-suppress uninitMemberVar
Thread::Thread() : threadId(0), running(false) {
    (void)pthread_once(&attrOnce, initAttributes);
}

// A cancellation during the join would leave the thread unjoined, or end the program through a
// destructor that may not throw: the join completes first, and the cancellation acts after it.
Thread::~Thread() noexcept(false) {
    if (running) {
        internal::uncancelled([this] { (void)pthread_join(threadId, nullptr); });
    }
}

void Thread::start() {
    if (running) {
        throw Exception("Thread is already running", nullptr);
    }
    if (pthread_create(&threadId, &_attr, classMain, this) != 0) {
        throw Exception("Cannot start thread", nullptr);
    }
    running = true;
}

int Thread::join() {
    if (!running) {
        throw Exception("Thread doesn't run", nullptr);
    }
    void* result = nullptr;
    const int error = pthread_join(threadId, &result);
    return joined(*this, error, result);
}

std::optional<int> Thread::joinFor(unsigned long milliseconds) {
    if (!running) {
        throw Exception("Thread doesn't run", nullptr);
    }
    void* result = nullptr;
    const int error = milliseconds == 0 ? pthread_tryjoin_np(threadId, &result)
                                        : joinWithin(threadId, &result, milliseconds);
    if (error == EBUSY || error == ETIMEDOUT) {
        return std::nullopt;
    }
    return joined(*this, error, result);
}

void Thread::terminate(int code) {
    exitCode = code;
    if (!running) {
        throw Exception("Thread doesn't run", nullptr);
    }
    if (pthread_cancel(threadId) != 0) {
        throw Exception("Cannot terminate thread", nullptr);
    }
}

void* Thread::classMain(void* object) {
    (void)pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    auto* thread = static_cast<Thread*>(object);
    const int result = thread->main();
    thread->exitCode = result;
    return codeToResult(result);
}

void Thread::exit(int code) {
    pthread_exit(codeToResult(code));
}

pthread_t Thread::self() noexcept {
    return pthread_self();
}

void Thread::yield() {
    if (sched_yield() != 0) {
        throw Exception("Cannot yield ", internal::errorText(errno).c_str());
    }
}

void Thread::setName(const std::string& name) noexcept {
    char shortName[16] = "";
    name.copy(shortName, sizeof shortName - 1);
    (void)pthread_setname_np(pthread_self(), shortName);
}

// poll takes its limit as an int: a longer sleep is a run of polls of at most INT_MAX ms, each
// started again with its full time when a signal interrupts it.
void Thread::sleep(unsigned long milliseconds) {
    do {
        const int timeout = milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
        while (::poll(nullptr, 0, timeout) < 0) {
            if (errno != EINTR) {
                throw Exception("Cannot sleep", internal::errorText(errno).c_str());
            }
        }
        milliseconds -= static_cast<unsigned long>(timeout);
    } while (milliseconds != 0);
}

} // namespace Ostrel
