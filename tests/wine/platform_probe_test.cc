// The win32 platform layer under Wine: tests/windows/platform_probe.exe runs its checks against
// the real calls and reports each one; this test demands that all of them pass and looks at
// the facts that depend on the machine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "testutil/temp_dir.h"
#include "testutil/wine.h"

namespace {

namespace fs = std::filesystem;

using testutil::WindowsBuildDir;

// Wine maps the Unix root to drive Z:.
std::string WindowsPath(const fs::path& path) {
  std::string p = "Z:" + path.string();
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
}

TEST(PlatformProbe, EveryCheckPassesUnderWine) {
  fs::path exe = fs::path(WindowsBuildDir()) / "tests" / "platform_probe.exe";
  ASSERT_EQ(testutil::MissingWindowsPrograms({"tests/platform_probe.exe"}), "");
  const testutil::Wine& wine = testutil::Wine::Get();
  ASSERT_TRUE(wine.ok()) << wine.error();
  testutil::TempDir dir;

  // With no umask, a directory with default security is writable by all; the restricted one
  // must not be, which is what Wine keeps of its DACL (see below).
  mode_t saved = ::umask(0);
  testutil::WineRunResult run = wine.Run(exe.string(), {WindowsPath(dir.path())});
  ::umask(saved);
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.timedOut) << run.outText() << run.err;

  std::map<std::string, std::string> info;
  std::string failed;
  int oks = 0;
  std::istringstream lines(run.outText());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("FAIL ", 0) == 0) failed += line + "\n";
    if (line.rfind("ok ", 0) == 0) ++oks;
    if (line.rfind("info ", 0) == 0) {
      size_t blank = line.find(' ', 5);
      info[line.substr(5, blank - 5)] = blank == std::string::npos ? "" : line.substr(blank + 1);
    }
  }
  EXPECT_EQ(failed, "");
  EXPECT_GT(oks, 50) << run.outText();
  EXPECT_EQ(run.exitCode, 0) << run.outText() << run.err;

  // The build that ran is the one this machine was chosen for. Both answer "64-bit Windows" in
  // a 64-bit prefix (Wine's default): the 32-bit program because it runs under WOW64, the
  // 64-bit one always.
  EXPECT_EQ(info["process_bits"], wine.arch().is64() ? "64" : "32") << wine.arch().reason;
  bool prefix64 = fs::exists(fs::path(wine.prefix()) / "drive_c/windows/syswow64");
  EXPECT_EQ(info["wow64"], prefix64 || wine.arch().is64() ? "1" : "0");
  // Without a manifest that declares newer systems, the reported version stops at 6.x.
  EXPECT_EQ(info["major_version"], "6");

  // Wine runs programs as an administrator, so the restricted path was taken. Wine keeps no
  // Windows security descriptor on a Unix file system: it turns the DACL into mode bits and
  // reads back one made from them (Administrators then shows as the owning user, and the
  // protection flag is gone). What survives is that others may read and enter, not write. The
  // OWNER RIGHTS entry is lost the same way; that the descriptor holding it was accepted shows
  // in create_restricted_directory, which fails rather than fall back to default security.
  EXPECT_EQ(info["elevated"], "1");
  EXPECT_NE(info["restricted_dacl"].find("(A;OICI;0x1200a9;;;WD)"), std::string::npos)
      << info["restricted_dacl"];
  struct stat restricted {
  }, plain{};
  ASSERT_EQ(::stat((dir / "keep_restricted").c_str(), &restricted), 0);
  ASSERT_EQ(::stat((dir / "keep_default").c_str(), &plain), 0);
  EXPECT_EQ(restricted.st_mode & 07, 05) << std::oct << restricted.st_mode;
  // A default directory gets whatever the wineserver's umask leaves, so only the restricted
  // one has a fixed answer; both must exist.
  EXPECT_TRUE(S_ISDIR(plain.st_mode));
}

}  // namespace
