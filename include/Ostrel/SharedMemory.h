/// \file
/// \brief The public header of Ostrel::SharedMemory.

/// \class Ostrel::SharedMemory
/// \brief A block of memory shared between processes under a name.
///
/// allocate(name, size) opens the POSIX shared-memory object "/" + name with O_RDWR | O_CREAT and
/// permission bits 0666 reduced by the process's umask (an existing object is joined, never
/// created exclusively), sets its size to size bytes with ftruncate - for every user, so all users
/// of one name must pass the same size - and maps all of it readable, writable and shared.
///
/// The named object OUTLIVES EVERY PROCESS: the library never removes it (no shm_unlink, not even
/// in the destructor). A later allocate of the same name finds the old contents until the system
/// restarts or something outside the library removes it ("ostrel ipc remove NAME").
///
/// Failures are thrown by value as SharedMemory::Exception; the detail is strerror of the failed
/// call's errno:
///   allocate "Shared memory is already allocated"           (the segment held is kept)
///   allocate "Cannot create shared memory - " + detail       (shm_open failed)
///   allocate "Cannot set size of shared memory - " + detail  (ftruncate failed; fd closed)
///   allocate "Cannot map shared memory - " + detail          (mmap failed, e.g. size 0; fd closed)
///   free     "No shared memory allocated"
///   free     "Cannot unmap shared memory - " + detail        (fd closed all the same)
///   free     "Cannot free shared memory - " + detail         (close failed)
///   address  "No shared memory allocated"
///   allocate with mode: "Cannot create shared memory - " + detail also when fchmod failed (the
///                    object it created is removed again)
///   remove   "Cannot remove shared memory - " + detail    (shm_unlink failed, but not for ENOENT)
/// After any failed allocate and after any free, the object holds no segment and can allocate
/// again. The destructor unmaps and closes a segment still held, ignoring failures.
///
/// No synchronisation: one thread uses an object at a time, and access to the shared bytes is the
/// callers' affair (for instance under a SharedMutex). Copying is forbidden.
#pragma once

#include <Ostrel/Export.h>

#include <cstdint>
#include <string>

#include <sys/types.h>

namespace Ostrel {

class OSTREL_API SharedMemory {
public:
    /// The component exception of SharedMemory, thrown by value; it has no base class, so catch
    /// it by its own name (std::exception does not catch it).
    class OSTREL_API Exception {
    public:
        /// The message is text, or text + " - " + detail when detail is not null.
        Exception(const char* text, const char* detail);
        /// Releases the message.
        virtual ~Exception();
        /// The message, valid as long as the exception lives.
        virtual const char* what() const;

    private:
        std::string _message;
    };

    /// An object holding no segment.
    SharedMemory() noexcept;
    /// Unmaps and closes a segment still held, ignoring failures. Does NOT remove the named
    /// object: it stays in the system (use shm_unlink("/" + name) when it is no longer needed).
    ~SharedMemory();
    /// Not copyable.
    /// @{
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    /// @}

    /// Opens or creates "/" + name, sets its size to size bytes and maps it. An existing object
    /// is joined with its contents; a new one is zero-filled. Never removed by the library. Throws
    /// the allocate texts of the class.
    void allocate(const char* name, unsigned long size);
    /// As allocate(name, size), but an object that this call creates gets exactly the permission
    /// bits mode, whatever the umask: it is created exclusively (O_EXCL) with mode, then given
    /// mode with fchmod. An existing object is joined and keeps its mode.
    void allocate(const char* name, unsigned long size, mode_t mode);
    /// Removes the name "/" + name (shm_unlink): true when it existed, false when it did not.
    /// Processes that have the object mapped keep their mapping; a later allocate creates a new,
    /// zero-filled object. Throws "Cannot remove shared memory - " + detail on any other failure.
    static bool remove(const char* name);
    /// Unmaps and closes the segment; the named object stays. Throws the free texts of the class.
    void free();
    /// The start of this process's mapping. Throws "No shared memory allocated".
    void* address() const;

    /// The open object, -1 while the object holds no segment.
    std::int32_t descriptor;
    /// The size given to the last allocate; meaningful only while a segment is held.
    std::uint64_t length;
    /// The mapping; MAP_FAILED while there is none.
    void* base;

private:
    /// The rest of allocate once descriptor is open: sets the size and maps the object.
    void sizeAndMap(unsigned long size);
};

} // namespace Ostrel
