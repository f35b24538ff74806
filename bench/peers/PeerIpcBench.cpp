// Objects shared between processes, and library loading, through Ostrel, the raw calls and each
// peer's class: a 4 KiB shared-memory segment created, mapped, unmapped and removed; a named
// semaphore posted and taken; a library loaded, a symbol resolved and the library unloaded,
// both one the program has already loaded (libOstrel.so: the wrappers' own cost) and one it has
// not (the plugin beside the programs: a real mapping and unmapping each time). Every name
// carries the process id and is removed at the end.
#include <Ostrel/DynamicLibrary.h>
#include <Ostrel/SharedMemory.h>
#include <Ostrel/SharedSemaphore.h>
#include <Ostrel/Time.h>

#include "peers/Peers.h"

#include <Poco/NamedEvent.h>
#include <Poco/SharedLibrary.h>
#include <Poco/SharedMemory.h>

#include <boost/dll/shared_library.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_semaphore.hpp>

#include <QLibrary>
#include <QSharedMemory>
#include <QString>
#include <QSystemSemaphore>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <unistd.h>

namespace {

using OstrelPeers::add;
using OstrelPeers::expect;

// A name of the run in process pid for what, without the leading "/" of the POSIX objects.
std::string objectName(const char* what, pid_t pid = getpid()) {
    return std::string("ostrelPeer") + what + std::to_string(pid);
}

// Poco's NamedEvent is a System V semaphore keyed by ftok of /tmp/NAME.event; Poco removes
// neither, so they are removed here after use, as ipcrm and rm would.
void removePocoEvent(const std::string& name) {
    const std::string keyFile = "/tmp/" + name + ".event";
    const int id = semget(ftok(keyFile.c_str(), 'p'), 1, 0);
    if (id >= 0) {
        semctl(id, 0, IPC_RMID);
    }
    unlink(keyFile.c_str());
}

// ---- Shared memory: create and map 4 KiB, then unmap and remove ----------------------------
// Each side's create returns the mapping; remove unmaps it and removes the name, so the next
// create makes a new, zero-filled segment.

constexpr std::size_t segmentSize = 4096;

struct RawMemory {
    static constexpr const char* name = "raw:shm_open+ftruncate+mmap+munmap+close+shm_unlink";
    struct Object {
        std::string path = "/" + objectName("RawMemory");
        int fd = -1;
        void* base = MAP_FAILED;
    };
    static char* create(Object& o) {
        o.fd = shm_open(o.path.c_str(), O_RDWR | O_CREAT, 0666);
        if (o.fd < 0 || ftruncate(o.fd, segmentSize) != 0) {
            return nullptr;
        }
        o.base = mmap(nullptr, segmentSize, PROT_READ | PROT_WRITE, MAP_SHARED, o.fd, 0);
        return o.base == MAP_FAILED ? nullptr : static_cast<char*>(o.base);
    }
    static void remove(Object& o) {
        munmap(o.base, segmentSize);
        close(o.fd);
        shm_unlink(o.path.c_str());
    }
    static bool gone(const Object& o) {
        const int fd = shm_open(o.path.c_str(), O_RDONLY, 0);
        if (fd >= 0) {
            close(fd);
        }
        return fd < 0 && errno == ENOENT;
    }
};
struct OstrelMemory {
    static constexpr const char* name = "ostrel:SharedMemory::allocate+free+remove";
    struct Object {
        std::string name = objectName("Memory");
        Ostrel::SharedMemory memory;
    };
    static char* create(Object& o) {
        o.memory.allocate(o.name.c_str(), segmentSize);
        return static_cast<char*>(o.memory.address());
    }
    static void remove(Object& o) {
        o.memory.free();
        Ostrel::SharedMemory::remove(o.name.c_str());
    }
    static bool gone(const Object& o) { return !Ostrel::SharedMemory::remove(o.name.c_str()); }
};
// The constructor creates and maps the segment; the destructor of a server object (the default)
// unmaps it and removes the name.
struct PocoMemory {
    static constexpr const char* name = "poco:Poco::SharedMemory(AM_WRITE)+~SharedMemory";
    struct Object {
        std::string name = objectName("PocoMemory");
        std::optional<Poco::SharedMemory> memory;
    };
    static char* create(Object& o) {
        o.memory.emplace(o.name, segmentSize, Poco::SharedMemory::AM_WRITE);
        return o.memory->begin();
    }
    static void remove(Object& o) { o.memory.reset(); }
    static bool gone(const Object& o) {
        return RawMemory::gone(RawMemory::Object{"/" + o.name, -1, MAP_FAILED});
    }
};
struct BoostMemory {
    static constexpr const char* name = "boost:shared_memory_object+truncate+mapped_region+remove";
    struct Object {
        std::string name = objectName("BoostMemory");
        std::optional<boost::interprocess::shared_memory_object> object;
        std::optional<boost::interprocess::mapped_region> region;
    };
    static char* create(Object& o) {
        using namespace boost::interprocess;
        o.object.emplace(open_or_create, o.name.c_str(), read_write);
        o.object->truncate(segmentSize);
        o.region.emplace(*o.object, read_write);
        return static_cast<char*>(o.region->get_address());
    }
    static void remove(Object& o) {
        o.region.reset();
        o.object.reset();
        boost::interprocess::shared_memory_object::remove(o.name.c_str());
    }
    static bool gone(const Object& o) {
        return RawMemory::gone(RawMemory::Object{"/" + o.name, -1, MAP_FAILED});
    }
};
// create attaches the new segment; the last detach destroys it.
struct QtMemory {
    static constexpr const char* name = "qt:QSharedMemory::create+detach";
    struct Object {
        QSharedMemory memory{QString::fromStdString(objectName("QtMemory"))};
    };
    static char* create(Object& o) {
        return o.memory.create(segmentSize) ? static_cast<char*>(o.memory.data()) : nullptr;
    }
    static void remove(Object& o) { o.memory.detach(); }
    static bool gone(const Object& o) {
        QSharedMemory probe(o.memory.key());
        return !probe.attach() && probe.error() == QSharedMemory::NotFound;
    }
};

template <class Side> void createRemove(benchmark::State& state) {
    typename Side::Object o;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Side::create(o));
        Side::remove(o);
    }
}

// A segment written and removed does not come back: the next one is new and zero-filled, and
// after its removal the name is gone.
template <class Side> void checkCreateRemove() {
    typename Side::Object o;
    char* first = Side::create(o);
    if (first != nullptr) {
        first[0] = 'x';
        first[segmentSize - 1] = 'x';
    }
    Side::remove(o);
    char* second = Side::create(o);
    const bool fresh = second != nullptr && second[0] == 0 && second[segmentSize - 1] == 0;
    Side::remove(o);
    expect(first != nullptr && fresh && Side::gone(o), "SharedMemory", Side::name);
}

// ---- Named semaphore: up + down ------------------------------------------------------------
// Poco has no named semaphore: NamedEvent is its object counted by name (set adds one, wait
// takes one). Poco and Qt have no call that takes without waiting; their check is that an up
// lets exactly the following down through, which the timing relies on.

struct RawNamed {
    static constexpr const char* name = "raw:sem_open+sem_post+sem_wait";
    struct Object {
        std::string path = "/" + objectName("RawSem");
        sem_t* sem = sem_open(path.c_str(), O_CREAT, 0644, 0U);
        ~Object() {
            sem_close(sem);
            sem_unlink(path.c_str());
        }
        Object() = default;
        Object(const Object&) = delete;
        Object& operator=(const Object&) = delete;
    };
    static void up(Object& s) { sem_post(s.sem); }
    static void down(Object& s) { sem_wait(s.sem); }
    static std::optional<bool> tryDown(Object& s) { return sem_trywait(s.sem) == 0; }
};
struct OstrelNamed {
    static constexpr const char* name = "ostrel:SharedSemaphore::up+down";
    struct Object {
        std::string name = objectName("Sem");
        Ostrel::SharedSemaphore semaphore{name.c_str(), 0};
        ~Object() { Ostrel::SharedSemaphore::remove(name.c_str()); }
        Object() = default;
        Object(const Object&) = delete;
        Object& operator=(const Object&) = delete;
    };
    static void up(Object& s) { s.semaphore.up(); }
    static void down(Object& s) { s.semaphore.down(); }
    static std::optional<bool> tryDown(Object& s) { return s.semaphore.tryDown(); }
};
struct PocoNamed {
    static constexpr const char* name = "poco:Poco::NamedEvent::set+wait";
    struct Object {
        std::string name = objectName("PocoSem");
        Poco::NamedEvent event{name};
        ~Object() { removePocoEvent(name); }
        Object() = default;
        Object(const Object&) = delete;
        Object& operator=(const Object&) = delete;
    };
    static void up(Object& s) { s.event.set(); }
    static void down(Object& s) { s.event.wait(); }
    static std::optional<bool> tryDown(Object&) { return std::nullopt; }
};
struct BoostNamed {
    static constexpr const char* name = "boost:named_semaphore::post+wait";
    struct Object {
        std::string name = objectName("BoostSem");
        boost::interprocess::named_semaphore semaphore{boost::interprocess::open_or_create,
                                                       name.c_str(), 0};
        ~Object() { boost::interprocess::named_semaphore::remove(name.c_str()); }
        Object() = default;
        Object(const Object&) = delete;
        Object& operator=(const Object&) = delete;
    };
    static void up(Object& s) { s.semaphore.post(); }
    static void down(Object& s) { s.semaphore.wait(); }
    static std::optional<bool> tryDown(Object& s) { return s.semaphore.try_wait(); }
};
struct QtNamed {
    static constexpr const char* name = "qt:QSystemSemaphore::release+acquire";
    struct Object {
        QSystemSemaphore semaphore{QString::fromStdString(objectName("QtSem")), 0,
                                   QSystemSemaphore::Create};
    };
    static void up(Object& s) { s.semaphore.release(); }
    static void down(Object& s) { s.semaphore.acquire(); }
    static std::optional<bool> tryDown(Object&) { return std::nullopt; }
};

template <class Side> void upDown(benchmark::State& state) {
    typename Side::Object s;
    for (auto _ : state) {
        Side::up(s);
        Side::down(s);
    }
}

// up then down leaves nothing to take; another up leaves exactly one. A down that blocks here
// ends the program (the alarm of the checks).
template <class Side> void checkUpDown() {
    typename Side::Object s;
    Side::up(s);
    Side::down(s);
    const std::optional<bool> empty = Side::tryDown(s);
    Side::up(s);
    const std::optional<bool> one = Side::tryDown(s);
    if (!one.has_value()) {
        Side::down(s);
        expect(true, "NamedSemaphore", Side::name, "up then down returned (no try call)");
        return;
    }
    expect(!*empty && *one && !*Side::tryDown(s), "NamedSemaphore", Side::name);
}

// ---- Library loading: load, resolve one symbol, unload -------------------------------------

// The library: libOstrel.so as the loader found it for this program, or the plugin in lib/
// beside this program's bin/.
std::string ostrelLibrary() {
    Dl_info info{};
    dladdr(reinterpret_cast<const void*>(&Ostrel::getSystemTime), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

std::string pluginLibrary() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string exe(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    exe = exe.substr(0, exe.rfind('/'));
    return exe.substr(0, exe.rfind('/')) + "/lib/libostrel_peer_plugin.so";
}

// The exported name of Ostrel::getSystemTime as the compiler mangled it.
std::string ostrelSymbol() {
    Dl_info info{};
    const auto function = reinterpret_cast<const void*>(&Ostrel::getSystemTime);
    const bool named =
        dladdr(function, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr == function;
    return named ? info.dli_sname : "";
}

// One library and one symbol, as each row uses them.
struct Target {
    std::string path;
    std::string symbol;
};

struct RawLoad {
    static constexpr const char* name = "raw:dlopen+dlsym+dlclose";
    struct Object {
        explicit Object(const Target& t) : target(t) {}
        Target target;
    };
    static void* run(Object& o) {
        void* handle = dlopen(o.target.path.c_str(), RTLD_LAZY);
        void* symbol = dlsym(handle, o.target.symbol.c_str());
        dlclose(handle);
        return symbol;
    }
};
struct OstrelLoad {
    static constexpr const char* name = "ostrel:DynamicLibrary::load+getSymbol+unload";
    struct Object {
        explicit Object(const Target& t) : target(t) {}
        Target target;
        Ostrel::DynamicLibrary library;
    };
    static void* run(Object& o) {
        o.library.load(o.target.path.c_str());
        void* symbol = o.library.getSymbol(o.target.symbol.c_str());
        o.library.unload();
        return symbol;
    }
};
struct PocoLoad {
    static constexpr const char* name = "poco:Poco::SharedLibrary::load+getSymbol+unload";
    struct Object {
        explicit Object(const Target& t) : target(t) {}
        Target target;
        Poco::SharedLibrary library;
    };
    static void* run(Object& o) {
        o.library.load(o.target.path);
        void* symbol = o.library.getSymbol(o.target.symbol);
        o.library.unload();
        return symbol;
    }
};
// get<T> gives a reference to the symbol as a T; its address is what the others return.
struct BoostLoad {
    static constexpr const char* name = "boost:boost::dll::shared_library::load+get+unload";
    struct Object {
        explicit Object(const Target& t) : target(t), path(t.path) {}
        Target target;
        boost::dll::fs::path path;
        boost::dll::shared_library library;
    };
    static void* run(Object& o) {
        o.library.load(o.path);
        void* symbol = &o.library.get<char>(o.target.symbol);
        o.library.unload();
        return symbol;
    }
};
struct QtLoad {
    static constexpr const char* name = "qt:QLibrary::load+resolve+unload";
    struct Object {
        explicit Object(const Target& t) : target(t), library(QString::fromStdString(t.path)) {}
        Target target;
        QLibrary library;
    };
    static void* run(Object& o) {
        o.library.load();
        auto symbol = reinterpret_cast<void*>(o.library.resolve(o.target.symbol.c_str()));
        o.library.unload();
        return symbol;
    }
};

template <class Side> void loadUnload(benchmark::State& state, const Target& target) {
    typename Side::Object o(target);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Side::run(o));
    }
}

// Every side finds the symbol: in the loaded library at the address the loader gave it; in the
// plugin, a function that answers 42 while the plugin is loaded.
template <class Side> void checkLoadUnload(const char* row, const Target& target, bool loaded) {
    typename Side::Object o(target);
    void* symbol = Side::run(o);
    bool found = symbol != nullptr;
    if (loaded) {
        void* handle = dlopen(target.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        found = found && handle != nullptr && dlsym(handle, target.symbol.c_str()) == symbol;
        if (handle != nullptr) {
            dlclose(handle);
        }
    } else {
        void* handle = dlopen(target.path.c_str(), RTLD_LAZY);
        symbol = Side::run(o);
        found = found && symbol != nullptr && reinterpret_cast<int (*)()>(symbol)() == 42;
        dlclose(handle);
    }
    expect(found, row, Side::name);
}

// ---- The rows: each checks its sides, then registers them -----------------------------------

template <class... Sides> void sharedMemoryRow() {
    (checkCreateRemove<Sides>(), ...);
    (add(std::string("SharedMemory/") + Sides::name, createRemove<Sides>), ...);
}
template <class... Sides> void namedSemaphoreRow() {
    (checkUpDown<Sides>(), ...);
    (add(std::string("NamedSemaphore/") + Sides::name, upDown<Sides>), ...);
}
template <class... Sides> void loadRow(const char* row, const Target& target, bool loaded) {
    (checkLoadUnload<Sides>(row, target, loaded), ...);
    (benchmark::RegisterBenchmark((std::string(row) + "/" + Sides::name).c_str(), loadUnload<Sides>,
                                  target),
     ...);
}

void rows() {
    sharedMemoryRow<RawMemory, OstrelMemory, PocoMemory, BoostMemory, QtMemory>();
    namedSemaphoreRow<RawNamed, OstrelNamed, PocoNamed, BoostNamed, QtNamed>();
    loadRow<RawLoad, OstrelLoad, PocoLoad, BoostLoad, QtLoad>(
        "LoadLoadedLibrary", {ostrelLibrary(), ostrelSymbol()}, true);
    loadRow<RawLoad, OstrelLoad, PocoLoad, BoostLoad, QtLoad>(
        "LoadPlugin", {pluginLibrary(), "ostrelPeerPlugin"}, false);
}

// Removes whatever the run in process pid left behind when it was killed: every name of the
// sides above. After a run that ended normally there is nothing left, and nothing happens.
void cleanup(pid_t pid) {
    for (const char* what : {"RawMemory", "Memory", "PocoMemory", "BoostMemory"}) {
        shm_unlink(("/" + objectName(what, pid)).c_str());
    }
    for (const char* what : {"RawSem", "Sem", "BoostSem"}) {
        sem_unlink(("/" + objectName(what, pid)).c_str());
    }
    removePocoEvent(objectName("PocoSem", pid));
    // A segment that no process has attached any more is destroyed by the last detach; a system
    // semaphore opened with Create is removed by its destructor. QSharedMemory guards itself with
    // a system semaphore of the same key.
    QSharedMemory memory(QString::fromStdString(objectName("QtMemory", pid)));
    if (memory.attach()) {
        memory.detach();
    }
    for (const char* what : {"QtSem", "QtMemory"}) {
        const QSystemSemaphore semaphore(QString::fromStdString(objectName(what, pid)), 0,
                                         QSystemSemaphore::Create);
    }
}

} // namespace

int main(int argc, char** argv) {
    return OstrelPeers::run(argc, argv, rows, cleanup);
}
