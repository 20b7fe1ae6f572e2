#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/text.h"
#include "support/workspace.h"
#include "testutil/capture.h"
#include "testutil/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using support::WideToUtf8;

// Points the temporary directory at a test folder for the length of a test.
class Workspace : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    old_ = old ? old : "";
    hadOld_ = old != nullptr;
    ::setenv("TMPDIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    if (hadOld_) ::setenv("TMPDIR", old_.c_str(), 1);
    else ::unsetenv("TMPDIR");
  }
  testutil::TempDir dir_;
  std::string old_;
  bool hadOld_ = false;
};

TEST(WorkspaceName, JoinsTickTimeAndRandom) {
  EXPECT_EQ(support::WorkspaceName(123, 456, 41), u"ITMPD_123_456_41");
  EXPECT_EQ(support::WorkspaceName(4294967295u, -1, 32767), u"ITMPD_4294967295_-1_32767");
}

TEST_F(Workspace, TempBaseGetsExactlyOneBackslash) {
  std::u16string base = support::TempBase();
  EXPECT_EQ(base, dir_.u16() + u"\\");
  ::setenv("TMPDIR", (dir_.path().string() + "///").c_str(), 1);
  EXPECT_EQ(support::TempBase(), dir_.u16() + u"\\");
}

TEST_F(Workspace, CreatesAFreshDirectoryEveryTime) {
  std::u16string a = support::CreateWorkspace();
  std::u16string b = support::CreateWorkspace();
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  EXPECT_TRUE(support::EndsWith(a, u"\\"));
  EXPECT_TRUE(support::PathExists(a.substr(0, a.size() - 1)));
  std::string name = testutil::Native(a.substr(0, a.size() - 1)).filename().string();
  EXPECT_EQ(name.rfind("ITMPD_", 0), 0u) << name;
}

TEST_F(Workspace, RefusesToReuseAnExistingDirectory) {
  // Every name this process could draw already exists: nothing must be returned.
  fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec);
  if (::geteuid() == 0) {
    // root ignores permissions; make the base a file instead so that mkdir fails.
    fs::permissions(dir_.path(), fs::perms::owner_all);
    testutil::WriteFile(dir_ / "file", "x");
    ::setenv("TMPDIR", (dir_.path() / "file").c_str(), 1);
  }
  testutil::DebugCapture capture;
  EXPECT_EQ(support::CreateWorkspace(), u"");
  fs::permissions(dir_.path(), fs::perms::owner_all);
  EXPECT_NE(capture.joined().find("Could not create a new workspace"), std::string::npos);
}

TEST_F(Workspace, CleanupTracesBothPassesAndDeletesDepthFirst) {
  std::u16string ws = support::CreateWorkspace();
  ASSERT_FALSE(ws.empty());
  std::string root = WideToUtf8(ws.substr(0, ws.size() - 1));
  fs::path native = testutil::Native(ws);
  fs::create_directories(native / "outer" / "inner");
  testutil::WriteFile(native / "outer" / "inner" / "f.txt", "data");

  testutil::DebugCapture capture;
  {
    support::CleanupList list;
    list.AddDirectory(ws);
  }
  std::string inner = root + "\\outer\\inner";
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                 "Begin cleanup of 0 files\n",
                                 "Done\n",
                                 "Begin cleanup of 1 dirs\n",
                                 "Cleanup " + root + "\n",
                                 "Delete File " + inner + "\\f.txt\n",
                                 "Delete Dir " + inner + "\n",
                                 "Delete Dir " + root + "\\outer\n",
                                 "Delete Dir " + root + "\n",
                                 "Done\n",
                             }));
  EXPECT_FALSE(fs::exists(native));
}

TEST_F(Workspace, ReadOnlyFileSurvivesWithItsWorkspace) {
  std::u16string ws = support::CreateWorkspace();
  fs::path root = testutil::Native(ws);
  testutil::WriteFile(root / "locked", "x");
  fs::permissions(root / "locked", fs::perms::owner_read);
  {
    support::CleanupList list;
    list.AddDirectory(ws);
  }
  EXPECT_TRUE(fs::exists(root / "locked"));
}

TEST_F(Workspace, DeletionRemovesLinksWithoutEnteringThem) {
  fs::create_directories(dir_ / "outside");
  testutil::WriteFile(dir_ / "outside" / "precious", "keep me");
  std::u16string ws = support::CreateWorkspace();
  fs::path root = testutil::Native(ws);
  fs::create_directory_symlink(dir_ / "outside", root / "link");
  fs::create_symlink(dir_ / "outside" / "precious", root / "filelink");

  support::DeleteDirectoryTree(ws.substr(0, ws.size() - 1));
  EXPECT_FALSE(fs::exists(root));
  EXPECT_EQ(testutil::ReadFile(dir_ / "outside" / "precious"), "keep me");
}

TEST_F(Workspace, ParentDirectoriesFollowBackslashesOnly) {
  std::u16string base = dir_.u16() + u"\\";
  support::CreateParentDirectories(base + u"a\\b\\file.txt");
  EXPECT_TRUE(fs::is_directory(dir_ / "a" / "b"));
  EXPECT_FALSE(fs::exists(dir_ / "a" / "b" / "file.txt"));
  // Forward slashes are not separators for this function: nothing is created for "c/d".
  support::CreateParentDirectories(base + u"c/d/file.txt");
  EXPECT_FALSE(fs::exists(dir_ / "c"));
}

}  // namespace
