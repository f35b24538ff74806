// The attribute object that every lock of one class is initialised from: Mutex, RWLock and
// SharedMutex each keep one in their static _attr, set up by the first construction and
// destroyed with the last object, and count their live objects in their static _useCount.
//
// One ClassAttribute per class orders the set-up, the tear-down and the counting between threads
// that construct or destroy objects at the same time. It is constant-initialised, so nothing runs
// at load, and the lock operations of the classes never take it. Internal, not exported.
#pragma once

#include <cstdint>
#include <mutex>

namespace Ostrel::internal {

template <class Attribute> class ClassAttribute {
public:
    using SetUp = void (*)(Attribute* attribute);
    using TearDown = int (*)(Attribute* attribute);

    constexpr ClassAttribute(SetUp setUp, TearDown tearDown) noexcept
        : setUp(setUp), tearDown(tearDown) {}

    // Counts one more object; the first sets the attribute up. It stays set up until the matching
    // release, so the object may be initialised from it without the lock.
    void acquire(Attribute& attribute, std::int64_t& useCount) {
        const std::lock_guard<std::mutex> guard(lock);
        if (useCount++ == 0) {
            setUp(&attribute);
        }
    }

    // Counts one object less; the last tears the attribute down.
    void release(Attribute& attribute, std::int64_t& useCount) {
        const std::lock_guard<std::mutex> guard(lock);
        if (--useCount == 0) {
            tearDown(&attribute);
        }
    }

    std::int64_t count(const std::int64_t& useCount) {
        const std::lock_guard<std::mutex> guard(lock);
        return useCount;
    }

private:
    std::mutex lock;
    const SetUp setUp;
    const TearDown tearDown;
};

} // namespace Ostrel::internal
