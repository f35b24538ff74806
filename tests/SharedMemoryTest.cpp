#include <Ostrel/SharedMemory.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/mman.h>

using Ostrel::SharedMemory;
using OstrelTest::runInChild;
using OstrelTest::uniqueName;

namespace {

template <class Fn> std::string messageOf(Fn fn) {
    try {
        fn();
    } catch (const SharedMemory::Exception& error) {
        return error.what();
    }
    return "<nothing thrown>";
}

// A unique shared-memory name, unlinked at the end of the test.
struct Name {
    std::string text = uniqueName("ostrelShm");
    ~Name() { shm_unlink(("/" + text).c_str()); }
    const char* c_str() const { return text.c_str(); }
};

std::string tool() {
    return std::string(std::getenv("OSTREL_BUILD_DIR")) + "/bin/ostrel";
}

int shell(const std::string& command, std::string* out) {
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) {
        out->append(buf, n);
    }
    return WEXITSTATUS(pclose(pipe));
}

} // namespace

TEST(SharedMemoryTest, SharedBetweenProcessesAndAfterTheyEnd) {
    Name name;
    ASSERT_EQ(runInChild([&] {
                  SharedMemory memory;
                  memory.allocate(name.c_str(), 4096);
                  std::strcpy(static_cast<char*>(memory.address()), "from the child");
                  return 0;
              }),
              0);
    SharedMemory memory;
    memory.allocate(name.c_str(), 4096);
    EXPECT_STREQ(static_cast<char*>(memory.address()), "from the child");
    SharedMemory second;
    second.allocate(name.c_str(), 4096);
    static_cast<char*>(second.address())[0] = 'F';
    EXPECT_EQ(static_cast<char*>(memory.address())[0], 'F');
}

TEST(SharedMemoryTest, StateErrors) {
    Name name;
    SharedMemory memory;
    EXPECT_EQ(memory.descriptor, -1);
    EXPECT_EQ(memory.base, MAP_FAILED);
    EXPECT_EQ(messageOf([&] { memory.address(); }), "No shared memory allocated");
    EXPECT_EQ(messageOf([&] { memory.free(); }), "No shared memory allocated");
    memory.allocate(name.c_str(), 64);
    void* base = memory.address();
    EXPECT_EQ(messageOf([&] { memory.allocate(name.c_str(), 64); }),
              "Shared memory is already allocated");
    EXPECT_EQ(memory.address(), base);
    memory.free();
    EXPECT_EQ(memory.descriptor, -1);
    EXPECT_EQ(memory.base, MAP_FAILED);
    EXPECT_EQ(messageOf([&] { memory.free(); }), "No shared memory allocated");
}

TEST(SharedMemoryTest, RefusedAllocationsLeaveNoSegment) {
    Name name;
    SharedMemory memory;
    EXPECT_EQ(messageOf([&] { memory.allocate(name.c_str(), 0); }),
              std::string("Cannot map shared memory - ") + std::strerror(EINVAL));
    EXPECT_EQ(memory.descriptor, -1);
    EXPECT_EQ(messageOf([&] { memory.allocate("ostrel/further", 64); }),
              std::string("Cannot create shared memory - ") + std::strerror(EINVAL));
    EXPECT_EQ(memory.descriptor, -1);
    memory.allocate(name.c_str(), 64);
    EXPECT_NE(memory.descriptor, -1);
}

// Every failing call of the table, injected in a child: the message, the state (no segment, the
// descriptor really closed: nothing left behind), then the object allocating again.
TEST(SharedMemoryTest, FailingSystemCalls) {
    struct Case {
        const char* rules;
        const char* message;
        bool doFree;
    };
    const Case cases[] = {
        {"shm_open:1:13", "Cannot create shared memory - Permission denied", false},
        {"ftruncate:1:27", "Cannot set size of shared memory - File too large", false},
        {"mmap:1:12", "Cannot map shared memory - Cannot allocate memory", false},
        {"munmap:1:22", "Cannot unmap shared memory - Invalid argument", true},
        {"close:1:5", "Cannot free shared memory - Input/output error", true},
    };
    for (const auto& c : cases) {
        Name name;
        const int rc = runInChild([&] {
            const OstrelTest::ResourceSnapshot before;
            SharedMemory memory;
            std::string message;
            void* base = nullptr;
            if (c.doFree) {
                memory.allocate(name.c_str(), 64);
                base = memory.address();
                ostrelFaultSet(c.rules);
                message = messageOf([&] { memory.free(); });
            } else {
                ostrelFaultSet(c.rules);
                message = messageOf([&] { memory.allocate(name.c_str(), 64); });
            }
            ostrelFaultSet(nullptr);
            if (message != c.message || memory.descriptor != -1 || memory.base != MAP_FAILED) {
                std::fprintf(stderr, "got \"%s\"\n", message.c_str());
                return 1;
            }
            if (c.rules[0] == 'm' && c.doFree) {
                munmap(base, 64); // what the failed munmap could not release
            }
            shm_unlink(("/" + name.text).c_str());
            if (!before.unchanged()) {
                return 2;
            }
            memory.allocate(name.c_str(), 64); // the object can allocate again
            return 0;
        });
        EXPECT_EQ(rc, 0) << c.rules;
    }
}

TEST(SharedMemoryTest, ToolListsAndRemoves) {
    Name name;
    {
        SharedMemory memory;
        memory.allocate(name.c_str(), 4096);
    }
    std::string out;
    EXPECT_EQ(shell(tool() + " ipc list", &out), 0);
    EXPECT_NE(out.find(name.text), std::string::npos) << out;
    EXPECT_NE(out.find("4096"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(shell(tool() + " ipc remove " + name.text, &out), 0);
    out.clear();
    EXPECT_EQ(shell(tool() + " ipc remove " + name.text + " 2>&1", &out), 1);
    EXPECT_EQ(out,
              "ostrel ipc remove: no shared memory or semaphore named \"" + name.text + "\"\n");
}
