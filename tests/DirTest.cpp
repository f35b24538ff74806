#include <Ostrel/Dir.h>

#include "fault/Fault.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

using Ostrel::Dir;

namespace {

struct FixCase {
    const char* before;
    const char* after;
};

const FixCase fixCases[] = {
    {"/usr/local/../lib", "/usr/lib/"},
    {"/usr/local/", "/usr/local/"},
    {"a//b/./c/", "a/b/c/"},
    {"/../x", "/x/"},
    {"../x", "x/"},
    {"a/..", ""},
    {".", ""},
    {"/", "/"},
    {"///", "/"},
    {"", ""},
    {"./a", "a/"},
    {"/..", "/"},
    {"../../a", "a/"},
    {"a/b/../..", ""},
    {"a/.../.x/", "a/.../.x/"},
    {"/a/b/c/../../d", "/a/d/"},
    {"x", "x/"},
    {"//a//b", "/a/b/"},
    {"/opt/app/bin/prog/../../lib/", "/opt/app/lib/"},
    {"..a/b..", "..a/b../"},
};

TEST(DirTest, FixPropTable) {
    for (const auto& c : fixCases) {
        Dir dir(c.before);
        dir.fixProp(Dir::Normalize);
        EXPECT_EQ(dir.path, c.after) << "before: " << c.before;
        dir.fixProp(static_cast<Dir::DirProp>(7));
        EXPECT_EQ(dir.path, c.after) << "repeated on: " << c.before;
    }
}

TEST(DirTest, EditingTable) {
    struct Case {
        const char* start;
        int op; // 0 setPath, 1 changePath, 2 changePathUp
        const char* text;
        Dir::DirProp prop;
        const char* after;
    };
    const Case cases[] = {
        {"junk", 0, "/usr/local/", Dir::AsGiven, "/usr/local//"},
        {"junk//", 0, "/usr/local/", Dir::Normalize, "/usr/local/"},
        {"junk", 0, "", Dir::AsGiven, "/"},
        {"/usr/", 1, "lib", Dir::AsGiven, "/usr/lib/"},
        {"/usr/lib/", 2, "", Dir::AsGiven, "/usr/lib/../"},
        {"/usr/lib/", 2, "", Dir::Normalize, "/usr/"},
        {"/a/", 1, "/x", Dir::Normalize, "/a/x/"},
        {"/a/", 1, "/x", Dir::AsGiven, "/a//x/"},
        {"", 1, "data", Dir::AsGiven, "data/"},
        {"/usr", 1, "lib", Dir::AsGiven, "/usrlib/"},
        {"/usr/", 2, "", Dir::AsGiven, "/usr/../"},
    };
    for (const auto& c : cases) {
        Dir dir(c.start);
        if (c.op == 0)
            dir.setPath(c.text, c.prop);
        else if (c.op == 1)
            dir.changePath(c.text, c.prop);
        else
            dir.changePathUp(c.prop);
        EXPECT_EQ(dir.path, c.after) << c.start << " op " << c.op << " " << c.text;
    }
}

TEST(DirTest, ConstructionKeepsTextUnchanged) {
    EXPECT_EQ(Dir().path, "");
    EXPECT_EQ(Dir("a//b").path, "a//b");
    Dir original("/x/./");
    Dir copy(original);
    EXPECT_EQ(copy.path, "/x/./");
    EXPECT_EQ(Dir::_pathSeparator, '/');
}

TEST(DirTest, LocatorSequence) {
    Dir dir;
    dir.setPath("/opt/app/bin/prog", Dir::AsGiven);
    EXPECT_EQ(dir.path, "/opt/app/bin/prog/");
    dir.changePathUp(Dir::AsGiven);
    dir.changePathUp(Dir::AsGiven);
    EXPECT_EQ(dir.path, "/opt/app/bin/prog/../../");
    dir.changePath("lib", Dir::AsGiven);
    EXPECT_EQ(dir.path, "/opt/app/bin/prog/../../lib/");
    dir.fixProp(Dir::Normalize);
    EXPECT_EQ(dir.path, "/opt/app/lib/");
}

TEST(DirTest, IsValid) {
    OstrelTest::TempDir tmp;
    tmp.makeFile("file");
    EXPECT_FALSE(Dir().isValid(Dir::AsGiven));
    EXPECT_FALSE(Dir().isValid(Dir::Normalize));
    EXPECT_TRUE(Dir(tmp.path()).isValid(Dir::AsGiven));
    EXPECT_FALSE(Dir(tmp.path() + "/file").isValid(Dir::AsGiven));
    EXPECT_FALSE(Dir(tmp.path() + "/missing").isValid(Dir::AsGiven));
    EXPECT_TRUE(Dir(".").isValid(Dir::AsGiven));

    Dir missing(tmp.path() + "//missing/./");
    EXPECT_FALSE(missing.isValid(Dir::Normalize));
    EXPECT_EQ(missing.path, tmp.path() + "/missing/");

    Dir relative("./x/..");
    EXPECT_FALSE(relative.isValid(Dir::Normalize)); // normalises to "", which does not open
    EXPECT_EQ(relative.path, "");
}

class DirScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        tmp.makeFile("a.png");
        tmp.makeFile("b.txt");
        tmp.makeFile(".hidden.png");
        tmp.makeFile("sub/c.png");
        tmp.makeFile("sub/deep/d.png");
        tmp.makeFile(".dot/e.png");
        tmp.makeDir("dir.png");
        tmp.makeDir("empty");
        ASSERT_EQ(symlink((tmp.path() + "/sub").c_str(), (tmp.path() + "/link.png").c_str()), 0);
    }

    // The names relative to base, sorted, for comparisons that do not depend on reader order.
    static std::vector<std::string> strip(std::vector<std::string> paths, const std::string& base) {
        for (auto& p : paths) {
            EXPECT_EQ(p.compare(0, base.size(), base), 0) << p;
            p.erase(0, base.size());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    OstrelTest::TempDir tmp;
};

TEST_F(DirScanTest, FlatAndRecursive) {
    const std::string base = tmp.path() + "/";
    Dir dir(tmp.path());
    EXPECT_EQ(strip(dir.scan("*.png", false), base),
              (std::vector<std::string>{".hidden.png", "a.png", "link.png"}));
    EXPECT_EQ(strip(dir.scan("*.png", true), base),
              (std::vector<std::string>{".dot/e.png", ".hidden.png", "a.png", "link.png",
                                        "sub/c.png", "sub/deep/d.png"}));
    EXPECT_EQ(strip(dir.scan("?.txt", true), base), (std::vector<std::string>{"b.txt"}));
    EXPECT_EQ(strip(dir.scan("[ab].*", false), base), (std::vector<std::string>{"a.png", "b.txt"}));
    EXPECT_TRUE(dir.scan("sub/c.png", true).empty());
    EXPECT_TRUE(dir.scan("*.PNG", true).empty());
    EXPECT_TRUE(dir.scan("dir.png", true).empty());
}

TEST_F(DirScanTest, TrailingSeparatorAndUnnormalisedPrefix) {
    EXPECT_EQ(Dir(tmp.path()).scan("*", true), Dir(tmp.path() + "/").scan("*", true));
    for (const auto& p : Dir(tmp.path() + "//").scan("*.png", true))
        EXPECT_EQ(p.compare(0, tmp.path().size() + 2, tmp.path() + "//"), 0) << p;
}

TEST_F(DirScanTest, AppendingFormCountsEarlierElements) {
    std::vector<std::string> result{"x", "y"};
    EXPECT_EQ(Dir(tmp.path()).scan(result, "b.txt", true), 3);
    EXPECT_EQ(result[0], "x");
    EXPECT_EQ(result[2], tmp.path() + "/b.txt");
    EXPECT_EQ(Dir(tmp.path() + "/nothing").scan(result, "*", true), 3);
    EXPECT_EQ(Dir(tmp.path() + "/b.txt").scan(result, "*", true), 3);
    EXPECT_EQ(Dir("").scan(result, "*", false), 3);
}

// The order a plain depth-first walk with readdir gives, for comparison.
void referenceWalk(const std::string& dir, std::vector<std::string>& out) {
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return;
    while (const dirent* e = readdir(stream)) {
        const std::string name = e->d_name;
        if (e->d_type == DT_DIR) {
            if (name != "." && name != "..")
                referenceWalk(dir + "/" + name, out);
        } else {
            out.push_back(dir + "/" + name);
        }
    }
    closedir(stream);
}

TEST_F(DirScanTest, DepthFirstInReaderOrder) {
    std::vector<std::string> expected;
    referenceWalk(tmp.path(), expected);
    EXPECT_EQ(Dir(tmp.path()).scan("*", true), expected);
}

// A directory that cannot be opened contributes nothing, at the top or below (the failure is
// injected: root opens every directory); a read error ends the listing of that directory with
// what it had appended. Every stream is closed either way.
TEST_F(DirScanTest, OpenAndReadFailures) {
    EXPECT_EQ(OstrelTest::runInChild([this] {
                  OstrelTest::TempDir two; // one file and one sub-directory, so opendir #2 is it
                  two.makeFile("g.png");
                  two.makeFile("locked/f.png");
                  const OstrelTest::ResourceSnapshot before;
                  ostrelFaultSet("opendir:1:13");
                  const bool valid = Dir(tmp.path()).isValid(Dir::AsGiven);
                  ostrelFaultSet("opendir:1:13");
                  const auto top = Dir(two.path()).scan("*.png", true);
                  ostrelFaultSet("opendir:2:13");
                  const auto below = Dir(two.path()).scan("*.png", true);
                  ostrelFaultSet(nullptr);
                  if (valid || !top.empty() ||
                      below != std::vector<std::string>{two.path() + "/g.png"}) {
                      return 1;
                  }
                  const auto full = Dir(tmp.path()).scan("*", false);
                  std::size_t last = 0;
                  for (int call = 1; call <= 12; ++call) { // 10 entries, "." and ".." included
                      ostrelFaultSet(("readdir_r:" + std::to_string(call) + ":5").c_str());
                      const auto part = Dir(tmp.path()).scan("*", false);
                      ostrelFaultSet(nullptr);
                      if (part.size() < last || part.size() > full.size() ||
                          !std::equal(part.begin(), part.end(), full.begin()) ||
                          (call == 1 && !part.empty())) {
                          return 2;
                      }
                      last = part.size();
                  }
                  return last == full.size() && before.unchanged() ? 0 : 3;
              }),
              0);
}

TEST(DirTest, TokensAreNotExported) {
    const char* build = std::getenv("OSTREL_BUILD_DIR");
    ASSERT_NE(build, nullptr);
    const std::string command =
        std::string("nm -D --defined-only -C ") + build + "/lib/libOstrel.so 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0) << out;
    EXPECT_NE(out.find("Ostrel::Dir::_pathSeparator"), std::string::npos) << out;
    EXPECT_EQ(out.find("upDirToken"), std::string::npos);
    EXPECT_EQ(out.find("sameDirToken"), std::string::npos);
}

} // namespace
