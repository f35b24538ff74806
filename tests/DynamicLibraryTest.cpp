#include <Ostrel/DynamicLibrary.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dlfcn.h>

using Ostrel::DynamicLibrary;
using OstrelTest::captureStdout;
using OstrelTest::runInChild;

namespace {

// Runs fn, which must throw DynamicLibrary::Exception, and returns its message.
template <class Fn> std::string messageOf(Fn fn) {
    try {
        fn();
    } catch (const DynamicLibrary::Exception& error) {
        return error.what();
    }
    return "<nothing thrown>";
}

using AnswerFn = int (*)();

// Runs a shell command and returns its standard output.
std::string commandOutput(const std::string& command, int* status = nullptr) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) {
        text.append(buf, n);
    }
    const int rc = pclose(pipe);
    if (status != nullptr) {
        *status = WEXITSTATUS(rc);
    }
    return text;
}

std::string tool() {
    return std::string(std::getenv("OSTREL_BUILD_DIR")) + "/bin/ostrel";
}

} // namespace

TEST(DynamicLibraryTest, DefaultPrefixAndSuffix) {
    EXPECT_EQ(DynamicLibrary::defaultPrefix, "lib");
    EXPECT_EQ(DynamicLibrary::defaultSuffix, ".so");
}

TEST(DynamicLibraryTest, LoadTwiceKeepsTheFirstLibrary) {
    DynamicLibrary library;
    library.load(TINY_LIBRARY);
    EXPECT_EQ(messageOf([&] { library.load(TINY_LIBRARY); }), "Library already loaded");
    auto answer = reinterpret_cast<AnswerFn>(library.getSymbol("tinyAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
}

TEST(DynamicLibraryTest, MissingFilePrintsLoaderTextThenLoadSucceeds) {
    DynamicLibrary library;
    std::string message;
    const std::string out =
        captureStdout([&] { message = messageOf([&] { library.load("/nonexistent/libNo.so"); }); });
    const std::string loaderText = "/nonexistent/libNo.so: cannot open shared object file: No "
                                   "such file or directory";
    EXPECT_EQ(out, loaderText + "\n");
    EXPECT_EQ(message, "Cannot load library - " + loaderText);
    EXPECT_EQ(library.handle, nullptr);
    library.load(TINY_LIBRARY);
    EXPECT_NE(library.handle, nullptr);
}

TEST(DynamicLibraryTest, NothingLoaded) {
    DynamicLibrary library;
    EXPECT_EQ(messageOf([&] { library.unload(); }), "No library loaded");
    EXPECT_EQ(messageOf([&] { library.getSymbol("tinyAnswer"); }), "No library loaded");
    library.load(TINY_LIBRARY);
    library.unload();
    EXPECT_EQ(library.handle, nullptr);
    EXPECT_EQ(messageOf([&] { library.unload(); }), "No library loaded");
    library.load(TINY_LIBRARY); // reusable after unload
}

TEST(DynamicLibraryTest, Symbols) {
    DynamicLibrary library;
    library.load(TINY_LIBRARY);
    EXPECT_EQ(messageOf([&] { library.getSymbol("tinyMissing"); }),
              std::string("Cannot get symbol - ") + TINY_LIBRARY +
                  ": undefined symbol: tinyMissing");
    EXPECT_EQ(library.getSymbol("tinyNull"), nullptr);
}

// A failing dlclose: the loader's pending text as detail, and the object unloaded all the same.
TEST(DynamicLibraryTest, UnloadFailureStillUnloads) {
    EXPECT_EQ(runInChild([] {
                  DynamicLibrary library;
                  library.load(TINY_LIBRARY);
                  void* handle = library.handle;
                  ostrelFaultSet("dlclose:1:5");
                  const std::string message = messageOf([&] { library.unload(); });
                  ostrelFaultSet(nullptr);
                  (void)dlsym(handle, "ostrelFaultDlclose"); // the text the shim left pending
                  const std::string expected =
                      std::string("Error while unloading library - ") + dlerror();
                  dlclose(handle); // the reference the failed call kept
                  if (message != expected || library.handle != nullptr) {
                      std::fprintf(stderr, "got \"%s\"\n", message.c_str());
                      return 1;
                  }
                  library.load(TINY_LIBRARY);
                  return 0;
              }),
              0);
}

TEST(DynamicLibraryTest, DestructionAndMoveCloseOnce) {
    {
        DynamicLibrary library;
        library.load(TINY_LIBRARY);
        DynamicLibrary moved(std::move(library));
        EXPECT_EQ(library.handle, nullptr);
        EXPECT_NE(moved.handle, nullptr);
        DynamicLibrary assigned;
        assigned = std::move(moved);
        EXPECT_NE(assigned.handle, nullptr);
    }
    // Every reference was released: the library is no longer in the process.
    EXPECT_EQ(dlopen(TINY_LIBRARY, RTLD_LAZY | RTLD_NOLOAD), nullptr);
}

TEST(DynamicLibraryTest, SearchPath) {
    struct Case {
        const char* value; // null: unset
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {nullptr, {"/lib", "/usr/lib"}},
        {"", {"/lib", "/usr/lib"}},
        {":/opt/a::/opt/b:", {"/opt/a", "/opt/b", "/lib", "/usr/lib"}},
        {"/usr/lib", {"/usr/lib", "/lib", "/usr/lib"}},
        {" /x :/x", {" /x ", "/x", "/lib", "/usr/lib"}},
    };
    for (const auto& c : cases) {
        const int rc = runInChild([&] {
            if (c.value == nullptr) {
                unsetenv("LD_LIBRARY_PATH");
            } else {
                setenv("LD_LIBRARY_PATH", c.value, 1);
            }
            std::vector<std::string> dirs = {"stale"};
            DynamicLibrary::getSearchPath(dirs);
            return dirs == c.expected ? 0 : 1;
        });
        EXPECT_EQ(rc, 0) << (c.value != nullptr ? c.value : "(unset)");
    }
}

TEST(DynamicLibraryTest, ToolLdpathAndLoad) {
    int status = -1;
    EXPECT_EQ(commandOutput("LD_LIBRARY_PATH=/opt/a::/opt/b " + tool() + " ldpath", &status),
              "/opt/a\n/opt/b\n/lib\n/usr/lib\n");
    EXPECT_EQ(status, 0);

    const std::string out =
        commandOutput(tool() + " load " + TINY_LIBRARY + " tinyAnswer tinyNull", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("tinyAnswer: 0x"), std::string::npos) << out;
    EXPECT_NE(out.find("tinyNull: 0"), std::string::npos) << out;

    const std::string err =
        commandOutput(tool() + " load " + TINY_LIBRARY + " tinyMissing 2>&1 >/dev/null", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, std::string("Cannot get symbol - ") + TINY_LIBRARY +
                       ": undefined symbol: tinyMissing\n");

    // A bare name is located in the lib domain of the bundle directory (build/lib).
    commandOutput(tool() + " load libOstrel.so >/dev/null 2>&1", &status);
    EXPECT_EQ(status, 0);
}
