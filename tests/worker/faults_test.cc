// Faults a run must survive: it fails (or succeeds) cleanly, the trace names the cause, and
// nothing of the run is left behind. Each run is the whole entry sequence in this process, or
// in a child process where the fault is the process itself (killed, or two at once).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "installer_fixture.h"
#include "platform/platform.h"
#include "worker.h"

namespace worker_test {
namespace {

namespace fs = std::filesystem;

std::string Zeros(size_t n) { return std::string(n, '\0'); }

using testutil::Sha1Hex;

// Runs `body` in a child process and returns its exit status (-signal when killed).
template <typename Body>
int InChild(Body body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

// The file system fills while an entry is written: a 1 MiB tmpfs as the temporary directory
// where the test may mount one (root in most containers), else a file size limit of 1 MiB.
TEST(Faults, DiskFullWhileExtracting) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.script = "dep-silent,small,small.txt\ndep-silent,big,big.bin\n";
  recipe.entries = {{"small", "fits"}, {"big", Zeros(3 << 20)}};
  const std::string installer = MakeInstaller(tmp, recipe);
  fs::create_directories(tmp / "workspaces");
  const bool mounted = ::mount("tmpfs", (tmp / "workspaces").c_str(), "tmpfs", 0, "size=1m") == 0;
  struct rlimit saved {};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  if (!mounted) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 1 << 20;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  RunOutcome run = RunInstaller(tmp, installer, u"");
  if (mounted) {
    EXPECT_TRUE(LeftOver(tmp).empty());
    ::umount((tmp / "workspaces").c_str());
  } else {
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(LeftOver(tmp).empty());
  }
  EXPECT_EQ(run.exitCode, int{installer::kEntryNotExtracted});
  EXPECT_FALSE(run.report.ran);
  EXPECT_NE(run.trace.find("1: extracting big to big.bin failed\n"), std::string::npos)
      << run.trace;
}

// A file read part way: the installer itself while its setup program is copied out, and the
// bundle while an entry is extracted (the file truncated under the running program).
TEST(Faults, FileCutShortWhileRead) {
  SKIP_WITHOUT_DEV_KEYS();
  struct Case {
    const char* name;
    const char* when;  // the progress text at which the file is cut
    bool bundle;       // cut the workspace's bundle, else the installer
    const char* trace;
  } cases[] = {
      {"installer", "Progress 0%", false, "read fail\n"},
      {"bundle", "Progress 85%", true, "0: extracting big to big.bin failed\n"},
  };
  for (const Case& c : cases) {
    testutil::TempDir tmp;
    InstallerRecipe recipe;
    recipe.script = "dep-silent,big,big.bin\n";
    std::mt19937 rng(7);
    std::string big(3 << 20, '\0');
    for (char& b : big) b = static_cast<char>(rng());
    recipe.entries = {{"big", big}};
    const std::string installer = MakeInstaller(tmp, recipe);
    bool cut = false;
    RunOutcome run = RunInstaller(tmp, installer, u"", false, 10, [&](const std::string& text) {
      if (cut || text != c.when) return;
      cut = true;
      fs::path file = installer;
      if (c.bundle) {
        for (const auto& e : fs::directory_iterator(tmp / "workspaces")) file = e.path() / "ibnd";
      }
      fs::resize_file(file, fs::file_size(file) / 2);
    });
    EXPECT_TRUE(cut) << c.name;
    EXPECT_FALSE(run.report.ran) << c.name;
    EXPECT_NE(run.trace.find(c.trace), std::string::npos) << c.name << "\n" << run.trace;
    EXPECT_TRUE(LeftOver(tmp).empty()) << c.name;
  }
}

// A setup program that verifies but is no program: the start fails, the trace says so.
TEST(Faults, SetupProgramCannotStart) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.script = "";
  recipe.setupPath = (tmp / "junk.bin").string();
  testutil::WriteFile(recipe.setupPath, std::string(4096, '\x7f'));
  fs::permissions(recipe.setupPath, fs::perms::owner_all);
  RunOutcome run = RunInstaller(tmp, MakeInstaller(tmp, recipe), u"");
  EXPECT_EQ(run.exitCode, int{installer::kSetupNotStarted});
  EXPECT_NE(run.trace.find("setup.exe could not be started\n"), std::string::npos) << run.trace;
  EXPECT_TRUE(LeftOver(tmp).empty());
}

// Payloads at the edges of what a target may be: many files, names outside ASCII, and a path
// beyond what Windows opens without the \\?\ form, which is refused with a trace naming it.
TEST(Faults, ManyFilesNonAsciiNamesAndOverlongPaths) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  constexpr int kFiles = 20000;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i);
    recipe.script += "dep-silent," + name + ",d" + std::to_string(i % 50) + "\\" + name + "\n";
    recipe.entries[name] = std::to_string(i);
  }
  recipe.script +=
      "dep-silent,u,donn\xC3\xA9"
      "es\\\xE6\x97\xA5\xE6\x9C\xAC.txt\n";
  recipe.entries["u"] = "unicode";
  // A setup program that counts the files instead of hashing each.
  recipe.setupPath = (tmp / "count.sh").string();
  testutil::WriteFile(
      recipe.setupPath,
      "#!/bin/sh\n{\n  echo \"arg=$(find . -type f ! -name setup.exe ! -name ibnd | wc -l)\"\n"
      "  for f in ./d7/f12357 './donn\xC3\xA9"
      "es/\xE6\x97\xA5\xE6\x9C\xAC.txt'; do\n"
      "    echo \"file=$f $(sha1sum < \"$f\" | cut -c1-40)\"\n  done\n} > \"$ZT_REPORT\"\n"
      // The signature follows the text: the shell must not read on into it.
      "exit 0\n");
  fs::permissions(recipe.setupPath, fs::perms::owner_all);
  RunOutcome run = RunInstaller(tmp, MakeInstaller(tmp, recipe), u"");
  ASSERT_TRUE(run.report.ran) << run.trace.substr(run.trace.size() > 2000 ? run.trace.size() - 2000
                                                                          : 0);
  EXPECT_EQ(run.report.args, std::vector<std::string>{std::to_string(kFiles + 1)});
  EXPECT_EQ(run.report.files["./d7/f12357"], Sha1Hex("12357"));
  EXPECT_EQ(run.report.files["./donn\xC3\xA9"
                             "es/\xE6\x97\xA5\xE6\x9C\xAC.txt"],
            Sha1Hex("unicode"));
  EXPECT_TRUE(LeftOver(tmp).empty());

  // The workspace path is unknown beforehand: a target of 300 characters is too long anywhere.
  InstallerRecipe longRecipe;
  longRecipe.script = "dep-silent,u," + std::string(150, 'a') + "\\" + std::string(150, 'b') + "\n";
  longRecipe.entries = {{"u", "x"}};
  testutil::TempDir tmp2;
  run = RunInstaller(tmp2, MakeInstaller(tmp2, longRecipe), u"");
  EXPECT_FALSE(run.report.ran);
  EXPECT_NE(run.trace.find("refused: path longer than 259 characters"), std::string::npos)
      << run.trace;
  EXPECT_TRUE(LeftOver(tmp2).empty());
}

// Two installers started together: each makes its own workspace, both run, nothing is left.
// An installer killed part way leaves its workspace behind; the next run makes a new one and
// leaves the stale one alone.
TEST(Faults, ConcurrentAndKilledRuns) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.script = "dep-silent,a,a.txt\n";
  recipe.entries = {{"a", "alpha"}};
  const std::string installer = MakeInstaller(tmp, recipe);
  fs::create_directories(tmp / "workspaces");
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      testutil::TempDir own;  // its own report, the shared temporary directory
      ::setenv("TMPDIR", (tmp / "workspaces").c_str(), 1);
      ::setenv("ZT_REPORT", (tmp / ("report" + std::to_string(i))).c_str(), 1);
      ::setenv("ZT_FAKE_WOW64", "0", 1);
      ::setenv("ZT_FAKE_MAJOR_VERSION", "10", 1);
      platform::SetDebugOutputHook([](const char*, void*) {}, nullptr);
      installer::RunEntry(u"", support::Utf8ToWide(installer, true));
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Report first = ReadReport(tmp / "report0"), second = ReadReport(tmp / "report1");
  EXPECT_TRUE(first.ran);
  EXPECT_TRUE(second.ran);
  EXPECT_NE(first.cwd, second.cwd);
  EXPECT_TRUE(LeftOver(tmp).empty());

  const int killed = InChild([&] {
    RunInstaller(tmp, installer, u"", false, 10, [](const std::string& text) {
      if (text == "Progress 85%") ::raise(SIGKILL);
    });
  });
  EXPECT_EQ(killed, -SIGKILL);
  const std::vector<std::string> stale = LeftOver(tmp);
  ASSERT_EQ(stale.size(), 1u);
  RunOutcome next = RunInstaller(tmp, installer, u"");
  EXPECT_TRUE(next.report.ran);
  EXPECT_EQ(fs::path(next.report.cwd).filename().string().rfind("ITMPD_", 0), 0u);
  EXPECT_NE(fs::path(next.report.cwd).filename().string(), stale[0]);
  EXPECT_EQ(LeftOver(tmp), stale);
}

}  // namespace
}  // namespace worker_test
