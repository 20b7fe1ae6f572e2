#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

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
    if (hadOld_)
      ::setenv("TMPDIR", old_.c_str(), 1);
    else
      ::unsetenv("TMPDIR");
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

// The random part comes from the system: two fresh processes draw different numbers (with the
// C runtime's unseeded rand() both drew the same sequence, and so did every installer, which let
// another user plant the names a run would try). The name keeps its form.
TEST_F(Workspace, RandomPartDiffersBetweenFreshProcesses) {
  auto drawInChild = [] {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      int values[4];
      for (int& v : values) v = support::WorkspaceRandom();
      ::_exit(::write(fds[1], values, sizeof values) == sizeof values ? 0 : 1);
    }
    ::close(fds[1]);
    std::vector<int> values(4, -2);
    EXPECT_EQ(::read(fds[0], values.data(), 4 * sizeof(int)),
              static_cast<ssize_t>(4 * sizeof(int)));
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return values;
  };
  const std::vector<int> first = drawInChild(), second = drawInChild();
  EXPECT_NE(first, second);
  for (int v : first) EXPECT_TRUE(v >= 0 && v <= 32767) << v;

  std::u16string ws = support::CreateWorkspace();
  const std::string name = testutil::Native(ws.substr(0, ws.size() - 1)).filename().string();
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(name, parts, std::regex("ITMPD_[0-9]+_[0-9]+_([0-9]+)"))) << name;
  EXPECT_LE(std::stoi(parts[1]), 32767);
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

  const std::string top = WideToUtf8(ws.substr(0, ws.size() - 1));
  testutil::DebugCapture capture;
  support::DeleteDirectoryTree(ws.substr(0, ws.size() - 1));
  EXPECT_FALSE(fs::exists(root));
  EXPECT_EQ(testutil::ReadFile(dir_ / "outside" / "precious"), "keep me");
  // A directory link is a "Link", a link to a file is deleted as a file is.
  std::vector<std::string> lines = capture.lines();
  std::sort(lines.begin(), lines.end() - 1);
  EXPECT_EQ(lines, (std::vector<std::string>{"Delete File " + top + "\\filelink\n",
                                             "Delete Link " + top + "\\link\n",
                                             "Delete Dir " + top + "\n"}));

  // Given a link itself (one put in a workspace's place), the deletion removes the link only.
  fs::create_directory_symlink(dir_ / "outside", dir_ / "ITMPD_link");
  capture.clear();
  support::DeleteDirectoryTree(dir_.u16() + u"\\ITMPD_link");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "ITMPD_link")));
  EXPECT_EQ(testutil::ReadFile(dir_ / "outside" / "precious"), "keep me");
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{"Delete Link " + WideToUtf8(dir_.u16()) + "\\ITMPD_link\n"}));
}

// Elevated, the workspace goes under the system's temporary directory, never the user's, and
// there is no fallback to the user's when the system's is unknown.
TEST_F(Workspace, ElevatedRunsUseTheSystemTemporaryDirectory) {
  testutil::TempDir system;
  struct Case {
    const char* elevated;
    const char* systemTemp;
    std::u16string expected;
  } cases[] = {
      {"1", system.path().c_str(), system.u16() + u"\\"},
      {"0", system.path().c_str(), dir_.u16() + u"\\"},
  };
  for (const Case& c : cases) {
    ::setenv("ZT_FAKE_ELEVATED", c.elevated, 1);
    ::setenv("ZT_SYSTEM_TEMP", c.systemTemp, 1);
    EXPECT_EQ(support::TempBase(), c.expected) << c.elevated;
    std::u16string ws = support::CreateWorkspace();
    EXPECT_EQ(ws.rfind(c.expected + u"ITMPD_", 0), 0u) << WideToUtf8(ws);
  }
  ::unsetenv("ZT_FAKE_ELEVATED");
  ::unsetenv("ZT_SYSTEM_TEMP");
}

// A held workspace is removed while its path names it; once the path leads elsewhere (renamed
// away, a link in its place), the clean-up leaves both alone and keeps the hold.
TEST_F(Workspace, HeldWorkspaceIsDeletedOnlyWhileItsPathNamesIt) {
  platform::DirectoryHold hold;
  std::u16string ws = support::CreateWorkspace(&hold);
  ASSERT_TRUE(hold.IsOpen());
  fs::path native = testutil::Native(ws);
  testutil::WriteFile(native / "f", "x");
  EXPECT_TRUE(hold.IsNamedBy(ws));
  {
    support::CleanupList list;
    list.AddDirectory(ws, &hold);
  }
  EXPECT_FALSE(fs::exists(native));
  EXPECT_FALSE(hold.IsOpen());

  ws = support::CreateWorkspace(&hold);
  native = testutil::Native(ws.substr(0, ws.size() - 1));
  fs::create_directories(dir_ / "decoy");
  testutil::WriteFile(dir_ / "decoy" / "keep", "mine");
  fs::rename(native, dir_ / "moved");
  fs::create_directory_symlink(dir_ / "decoy", native);
  EXPECT_FALSE(hold.IsNamedBy(ws));
  testutil::DebugCapture capture;
  {
    support::CleanupList list;
    list.AddDirectory(ws, &hold);
  }
  EXPECT_NE(capture.joined().find("left alone"), std::string::npos) << capture.joined();
  EXPECT_EQ(testutil::ReadFile(dir_ / "decoy" / "keep"), "mine");
  EXPECT_TRUE(fs::is_directory(dir_ / "moved"));
  EXPECT_TRUE(hold.IsOpen());
  // A link is never held.
  EXPECT_FALSE(platform::DirectoryHold::Open(ws.substr(0, ws.size() - 1)).IsOpen());
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
