/// \file
/// \brief Annotations for clang's thread-safety analysis (-Wthread-safety).
///
/// Ostrel::Mutex, Ostrel::RWLock and Ostrel::SharedMutex are capabilities, and each of their lock
/// operations says what it acquires or releases. A program marks its own data with
/// OSTREL_GUARDED_BY and takes the locks through the guards of <Ostrel/Locker.h>, which the
/// analysis understands (the standard library's guards are not annotated). Clang with
/// -Wthread-safety then rejects code that reads or writes guarded data without holding its lock:
/// \code
/// Ostrel::Mutex lock;
/// long total OSTREL_GUARDED_BY(lock) = 0;
/// void add(long n) { Ostrel::Locker<Ostrel::Mutex> hold(lock); total += n; }
/// \endcode
/// The analysis does not know that a Mutex or SharedMutex is recursive: it reports a second lock
/// by a thread that holds one already. Every macro is empty for compilers without the analysis.
#pragma once

/// The attribute x for clang's thread-safety analysis; nothing for other compilers.
#if defined(__clang__)
#define OSTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OSTREL_THREAD_ANNOTATION(x)
#endif

/// A class whose objects are capabilities (locks); name is the kind shown in the warnings.
#define OSTREL_CAPABILITY(name) OSTREL_THREAD_ANNOTATION(capability(name))
/// A class whose objects hold a capability from construction to destruction (a scoped guard).
#define OSTREL_SCOPED_CAPABILITY OSTREL_THREAD_ANNOTATION(scoped_lockable)
/// A function that acquires the given capabilities exclusively (this object when none is given).
#define OSTREL_ACQUIRE(...) OSTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
/// A function that acquires the given capabilities shared (this object when none is given).
#define OSTREL_ACQUIRE_SHARED(...) OSTREL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
/// A function that releases the given exclusive capabilities (this object when none is given).
#define OSTREL_RELEASE(...) OSTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// A function that releases the given shared capabilities (this object when none is given).
#define OSTREL_RELEASE_SHARED(...) OSTREL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
/// A function that releases the given capabilities however they are held, exclusive or shared.
#define OSTREL_RELEASE_GENERIC(...)                                                                \
    OSTREL_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
/// A function that acquires the capabilities exclusively when it returns the value given first.
#define OSTREL_TRY_ACQUIRE(...) OSTREL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// A function that acquires the capabilities shared when it returns the value given first.
#define OSTREL_TRY_ACQUIRE_SHARED(...)                                                             \
    OSTREL_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
/// A data member read and written only while the capability x is held (reading: shared or
/// exclusive; writing: exclusive).
#define OSTREL_GUARDED_BY(x) OSTREL_THREAD_ANNOTATION(guarded_by(x))
/// A pointer member whose pointee is read and written only while the capability x is held.
#define OSTREL_PT_GUARDED_BY(x) OSTREL_THREAD_ANNOTATION(pt_guarded_by(x))
/// A function that its callers call only while they hold the given capabilities.
#define OSTREL_REQUIRES(...) OSTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// A function that its callers must not call while they hold the given capabilities.
#define OSTREL_EXCLUDES(...) OSTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// A function whose body the analysis does not check (the lock classes' own inline bodies).
#define OSTREL_NO_THREAD_SAFETY_ANALYSIS OSTREL_THREAD_ANNOTATION(no_thread_safety_analysis)
