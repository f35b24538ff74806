/// \file
/// \brief The public header of Ostrel::Semaphore.

/// \class Ostrel::Semaphore
/// \brief A counting semaphore for the threads of one process, built from a mutex,
/// a condition variable and a signed count.
///
/// The count may start at any value, zero or negative included: down waits while it is below 1,
/// so a start of -2 needs three up calls before one down completes. up wakes at most one waiter
/// and signals after releasing the mutex. up and down are inline: they cost what the same
/// platform calls written by hand cost. Nothing is thrown or printed; nothing allocates.
/// up and down may come from any thread; construction and destruction must not overlap with any
/// other call on the same object, and a Semaphore is destroyed only when nobody waits on it.
#pragma once

#include <Ostrel/Export.h>

#include <cstdint>
#include <pthread.h>

namespace Ostrel {

class OSTREL_API Semaphore {
public:
    /// A semaphore whose count starts at initial (any value, zero and negative included).
    explicit Semaphore(int initial) noexcept;
    /// Destroys the mutex and condition variable; nobody may wait any more.
    ~Semaphore();
    /// Not copyable.
    /// @{
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;
    /// @}

    /// Adds 1 to the count and wakes at most one waiter. Returns the signal call's status.
    int up() noexcept {
        pthread_mutex_lock(&mutex);
        ++count;
        pthread_mutex_unlock(&mutex);
        // Signalled after the unlock, so the woken thread does not run into a held mutex.
        return pthread_cond_signal(&condition);
    }
    /// Waits until the count is at least 1, then takes 1 from it. Returns the unlock's status.
    int down() noexcept {
        pthread_mutex_lock(&mutex);
        while (count < 1) {
            pthread_cond_wait(&condition, &mutex);
        }
        --count;
        return pthread_mutex_unlock(&mutex);
    }

private:
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    std::int32_t count;
};

} // namespace Ostrel
