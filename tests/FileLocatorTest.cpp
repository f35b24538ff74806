#include <Ostrel/Dir.h>
#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include "support/Support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using Ostrel::FileLocator;
using Ostrel::SysInfo;
using OstrelTest::captureStderr;
using OstrelTest::runInChild;

namespace {

TEST(FileLocatorTest, DomainNames) {
    EXPECT_EQ(FileLocator::domainDir(FileLocator::NoneDomain), "");
    EXPECT_EQ(FileLocator::domainDir(FileLocator::BinDomain), "bin");
    EXPECT_EQ(FileLocator::domainDir(FileLocator::LibDomain), "lib");
    EXPECT_EQ(FileLocator::domainDir(FileLocator::DataDomain), "share");
    EXPECT_EQ(FileLocator::domainDir(static_cast<FileLocator::FileDomain>(9)), "");
}

TEST(FileLocatorTest, LocalPath) {
    EXPECT_EQ(FileLocator::localPath(FileLocator::NoneDomain), "./");
    EXPECT_EQ(FileLocator::localPath(FileLocator::BinDomain), "./bin/");
    EXPECT_EQ(FileLocator::localPath(FileLocator::LibDomain), "./lib/");
    EXPECT_EQ(FileLocator::localPath(FileLocator::DataDomain), "./share/");
    EXPECT_EQ(FileLocator::localPath(static_cast<FileLocator::FileDomain>(9)), ".//");
}

TEST(FileLocatorTest, ConstructorsAndDump) {
    struct Case {
        unsigned int flags;
        const char* lines;
        std::size_t dirs;
    };
    const Case cases[] = {{0, "", 0}, {8, "", 0}, {4, "Info: AddSearchPath: ./\n", 1}};
    for (const auto& c : cases) {
        FileLocator* made = nullptr;
        EXPECT_EQ(captureStderr([&] { made = new FileLocator(c.flags); }), c.lines);
        EXPECT_EQ(made->searchDirs.size(), c.dirs);
        EXPECT_EQ(made->searchFlags, c.flags);
        delete made;
    }
    FileLocator locator(0);
    EXPECT_EQ(captureStderr([&] { locator.dump(true); }), "");
    EXPECT_EQ(captureStderr([&] {
                  locator.addSearchDir(std::string("/x"));
                  locator.addSearchDir(std::string("/x"));
                  locator.addSearchDir(std::string(""));
              }),
              "Info: AddSearchPath: /x\nInfo: AddSearchPath: /x\nInfo: AddSearchPath: \n");
    EXPECT_EQ(locator.searchDirs, (std::vector<std::string>{"/x", "/x", ""}));
    const std::string dumped = "Info: SearchDir: /x\nInfo: SearchDir: /x\nInfo: SearchDir: \n";
    EXPECT_EQ(captureStderr([&] { locator.dump(true); }), dumped);
    EXPECT_EQ(captureStderr([&] { locator.dump(false); }), dumped);

    locator.searchFlags = 5;
    std::string out = captureStderr([&] {
        FileLocator copy(locator);
        EXPECT_TRUE(copy.searchDirs.empty());
        EXPECT_EQ(copy.searchFlags, 0u);
    });
    EXPECT_EQ(out, "");
}

TEST(FileLocatorTest, StandardDirectoriesWithBundleAndEnvironment) {
    EXPECT_EQ(runInChild([] {
                  SysInfo* info = SysInfo::the();
                  info->appName = "/opt/app/bin/prog";
                  char* argv[] = {const_cast<char*>("prog")};
                  info->set("MYAPP", 1, argv, false);
                  setenv("MYAPP_DIR", "/srv/data", 1);
                  setenv("_DIR", "/never", 1);
                  int bad = 0;
                  FileLocator* all = nullptr;
                  const std::string out = captureStderr([&] { all = new FileLocator(7); });
                  bad |= out != "Info: AddSearchPath: /opt/app/\nInfo: AddSearchPath: "
                                "/srv/data\nInfo: AddSearchPath: ./\n";
                  bad |=
                      (all->searchDirs != std::vector<std::string>{"/opt/app/", "/srv/data", "./"})
                      << 1;
                  delete all;
                  bad |= (FileLocator::bundlePath(FileLocator::LibDomain) != "/opt/app/lib/") << 2;
                  bad |= (FileLocator::bundlePath(FileLocator::NoneDomain) != "/opt/app/") << 3;
                  bad |=
                      (FileLocator::environmentPath(FileLocator::DataDomain) != "/srv/data/share/")
                      << 4;
                  bad |= (FileLocator::environmentPath(static_cast<FileLocator::FileDomain>(9)) !=
                          "/srv/data/")
                         << 5;
                  setenv("MYAPP_DIR", "", 1);
                  FileLocator empty(FileLocator::SearchEnvironment);
                  bad |= (empty.searchDirs != std::vector<std::string>{""}) << 6;
                  unsetenv("MYAPP_DIR");
                  FileLocator unset(FileLocator::SearchEnvironment);
                  bad |= (!unset.searchDirs.empty()) << 7;
                  bad |= (FileLocator::environmentPath(FileLocator::BinDomain) != "") << 8;
                  info->set("", 1, argv, false);
                  FileLocator noName(FileLocator::SearchEnvironment);
                  bad |= (!noName.searchDirs.empty()) << 9;
                  info->appName = "";
                  bad |= (FileLocator::bundlePath(FileLocator::NoneDomain) != "/") << 10;
                  bad |= (FileLocator::bundlePath(FileLocator::LibDomain) != "/lib/") << 11;
                  return bad;
              }),
              0);
}

class LocateTest : public ::testing::Test {
protected:
    std::string base() const { return tmp.path() + "/"; }
    std::string sys() const { return SysInfo::the()->sysClassName; }
    OstrelTest::TempDir tmp;
};

TEST_F(LocateTest, EmptyListFindsNothingSilently) {
    FileLocator locator(0);
    std::string found = "x";
    EXPECT_EQ(captureStderr([&] { found = locator.locate("x", FileLocator::LibDomain, true); }),
              "");
    EXPECT_EQ(found, "");
}

TEST_F(LocateTest, CandidatesInOrderWithTrace) {
    FileLocator locator(0);
    locator.searchDirs.push_back(base());
    const std::string b = base();
    std::string found;
    std::string out =
        captureStderr([&] { found = locator.locate("tool", FileLocator::BinDomain, true); });
    EXPECT_EQ(found, "");
    EXPECT_EQ(out, "CheckPath: " + b + "bin/tool, false\nCheckPath: " + b + "bin/" + sys() +
                       "/tool, false\nCheckPath: " + b + "/tool, false\nInfo: Scan Dir: " + b +
                       "/ for: tool\n");

    // Each candidate, once present, wins over the later ones.
    tmp.makeFile("deep/tool");
    EXPECT_EQ(locator.locate("tool", FileLocator::BinDomain, false), b + "/deep/tool");
    tmp.makeFile("tool");
    EXPECT_EQ(locator.locate("tool", FileLocator::BinDomain, false), b + "/tool");
    tmp.makeFile("bin/" + sys() + "/tool");
    EXPECT_EQ(locator.locate("tool", FileLocator::BinDomain, false), b + "bin/" + sys() + "/tool");
    tmp.makeFile("bin/tool");
    EXPECT_EQ(locator.locate("tool", FileLocator::BinDomain, false), b + "bin/tool");
    out = captureStderr([&] { found = locator.locate("tool", FileLocator::BinDomain, true); });
    EXPECT_EQ(out, "CheckPath: " + b + "bin/tool, true\n");

    // Without a domain only the third candidate and the scan are tried.
    out = captureStderr([&] { found = locator.locate("tool", FileLocator::NoneDomain, true); });
    EXPECT_EQ(found, b + "/tool");
    EXPECT_EQ(out, "CheckPath: " + b + "/tool, true\n");
}

TEST_F(LocateTest, DeepHitInFirstDirWinsOverDirectHitInSecond) {
    OstrelTest::TempDir second;
    second.makeFile("lib/x");
    tmp.makeFile("a/b/x");
    FileLocator locator(0);
    locator.searchDirs = {tmp.path(), second.path() + "/"};
    EXPECT_EQ(locator.locate("x", FileLocator::LibDomain, false), tmp.path() + "/a/b/x");
    locator.searchDirs = {tmp.path() + "/missing", second.path() + "/"};
    EXPECT_EQ(locator.locate("x", FileLocator::LibDomain, false), second.path() + "/lib/x");
}

TEST_F(LocateTest, NoTrailingSeparatorJoinsDomainDirectly) {
    tmp.makeFile("x");
    FileLocator locator(0);
    locator.searchDirs.push_back(tmp.path());
    std::string found;
    const std::string out =
        captureStderr([&] { found = locator.locate("x", FileLocator::LibDomain, true); });
    EXPECT_EQ(found, tmp.path() + "/x");
    EXPECT_EQ(out, "CheckPath: " + tmp.path() + "lib/x, false\nCheckPath: " + tmp.path() + "lib/" +
                       sys() + "/x, false\nCheckPath: " + tmp.path() + "/x, true\n");
}

TEST_F(LocateTest, SeveralMatchesReport) {
    tmp.makeFile("a.cfg");
    tmp.makeFile("b.cfg");
    FileLocator locator(0);
    locator.searchDirs.push_back(base());
    std::vector<std::string> order;
    Ostrel::Dir(base() + "/").scan(order, "*.cfg", true);
    ASSERT_EQ(order.size(), 2u);
    std::string found;
    std::string out =
        captureStderr([&] { found = locator.locate("*.cfg", FileLocator::NoneDomain, true); });
    EXPECT_EQ(found, order[0]);
    EXPECT_EQ(out, "CheckPath: " + base() + "/*.cfg, false\nInfo: Scan Dir: " + base() +
                       "/ for: *.cfg\nMore than on valid search result: \n  " + order[0] + "\n  " +
                       order[1] + "\n");
    out = captureStderr([&] { found = locator.locate("*.cfg", FileLocator::NoneDomain, false); });
    EXPECT_EQ(found, order[0]);
    EXPECT_EQ(out, "");
}

TEST_F(LocateTest, SeparatorInNameAndEmptyNameAndDirectories) {
    tmp.makeFile("sub/x");
    tmp.makeDir("lib");
    FileLocator locator(0);
    locator.searchDirs.push_back(base());
    EXPECT_EQ(locator.locate("sub/x", FileLocator::NoneDomain, false), base() + "/sub/x");
    EXPECT_EQ(locator.locate("sub/y", FileLocator::NoneDomain, false), "");
    EXPECT_EQ(locator.locate("", FileLocator::LibDomain, false), base() + "lib/");
    EXPECT_EQ(locator.locate("", FileLocator::NoneDomain, false), base() + "/");
    EXPECT_EQ(locator.locate("lib", FileLocator::NoneDomain, false), base() + "/lib");
}

TEST(FileLocatorTest, CheckPath) {
    OstrelTest::TempDir tmp;
    tmp.makeFile("f");
    FileLocator locator(0);
    EXPECT_TRUE(locator.checkPath(tmp.path(), false));
    EXPECT_TRUE(locator.checkPath(tmp.path() + "/f", false));
    EXPECT_FALSE(locator.checkPath(tmp.path() + "/g", false));
    EXPECT_EQ(captureStderr([&] { locator.checkPath("/nonexistent/q", true); }),
              "CheckPath: /nonexistent/q, false\n");
}

} // namespace
