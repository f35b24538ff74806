#include <Ostrel/SharedSemaphore.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include <fcntl.h>
#include <semaphore.h>

using Ostrel::SharedSemaphore;
using OstrelTest::captureStderr;
using OstrelTest::runInChild;
using OstrelTest::uniqueName;

namespace {

struct Name {
    std::string text = uniqueName("ostrelSem");
    ~Name() { sem_unlink(("/" + text).c_str()); }
    const char* c_str() const { return text.c_str(); }
};

// The current value of the named semaphore, read through the raw interface.
int valueOf(const Name& name) {
    sem_t* sem = sem_open(("/" + name.text).c_str(), 0);
    int value = -1;
    sem_getvalue(sem, &value);
    sem_close(sem);
    return value;
}

std::string line(const char* text, int error) {
    return text + std::string(std::strerror(error)) + "\n";
}

} // namespace

TEST(SharedSemaphoreTest, ValuesAcrossProcesses) {
    Name name;
    ASSERT_EQ(runInChild([&] {
                  SharedSemaphore semaphore(name.c_str(), 2);
                  semaphore.down();
                  semaphore.down(); // value 2 lets two through at once
                  semaphore.up();
                  return 0;
              }),
              0);
    EXPECT_EQ(valueOf(name), 1); // the value outlives the process
    {
        SharedSemaphore again(name.c_str(), 7); // existing: 7 is not used
        EXPECT_EQ(valueOf(name), 1);
        again.down();
        // The next down waits for an up from another process.
        const int rc = runInChild(
            [&] {
                SharedSemaphore other(name.c_str(), 0);
                other.up();
                return 0;
            },
            5000);
        EXPECT_EQ(rc, 0);
        again.down();
    }
    EXPECT_EQ(valueOf(name), 0);
}

TEST(SharedSemaphoreTest, RefusedOpeningsPrintAndNeverCrash) {
    struct Case {
        const char* name;
        int value;
        int error;
    };
    Name fresh;
    const Case cases[] = {{"ostrel/further", 1, EINVAL}, {fresh.c_str(), -1, EINVAL}};
    for (const auto& c : cases) {
        const std::string err = captureStderr([&] {
            SharedSemaphore semaphore(c.name, c.value);
            semaphore.up();
            semaphore.down();
        });
        EXPECT_EQ(err, line("Cannot create shared semaphore - ", c.error) +
                           line("Cannot post shared semaphore - ", EINVAL) +
                           line("Cannot wait on shared semaphore - ", EINVAL) +
                           line("Cannot close shared semaphore - ", EINVAL));
    }
    sem_t* left = sem_open(("/" + fresh.text).c_str(), 0);
    EXPECT_EQ(left, SEM_FAILED); // the negative value created nothing
}

TEST(SharedSemaphoreTest, FailingCallsPrintTheirLine) {
    Name name;
    const int rc = runInChild([&] {
        int value = -1;
        std::string err = captureStderr([&] {
            ostrelFaultSet("sem_open:1:13");
            SharedSemaphore refused(name.c_str(), 1);
            ostrelFaultSet(nullptr);
        });
        std::string expected = line("Cannot create shared semaphore - ", EACCES) +
                               line("Cannot close shared semaphore - ", EINVAL);
        err += captureStderr([&] {
            SharedSemaphore semaphore(name.c_str(), 1);
            ostrelFaultSet("sem_post:1:75,sem_wait:1:4");
            semaphore.up();
            semaphore.down();
            ostrelFaultSet(nullptr);
            value = valueOf(name); // neither call changed it
            ostrelFaultSet("sem_close:1:9");
        });
        expected += line("Cannot post shared semaphore - ", 75) +
                    line("Cannot wait on shared semaphore - ", EINTR) +
                    line("Cannot close shared semaphore - ", EBADF);
        return err == expected && value == 1 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
}
