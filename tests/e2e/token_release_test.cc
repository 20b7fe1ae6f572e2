// The README's release with every private key in a token, run as a release engineer runs it
// (scripts/token-release.sh, SoftHSM as the token): the installer it ships verifies, carries a
// valid Authenticode signature, runs under Wine, and no private key file is left anywhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "testutil/files.h"
#include "testutil/process.h"
#include "testutil/wine.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string Q(const fs::path& path) { return "'" + path.string() + "'"; }

TEST(TokenRelease, EveryKeyInATokenAndTheInstallerRuns) {
  SKIP_WITHOUT_DEV_KEYS();
  ASSERT_EQ(testutil::MissingWindowsPrograms({"InstallerLogic.exe", "tests/report_setup.exe"}), "");
  ASSERT_TRUE(testutil::Wine::Get().ok()) << testutil::Wine::Get().error();
  testutil::TempDir dir;
  const fs::path work = dir / "release";
  const fs::path windows = testutil::WindowsBuildDir();
  // The development keys go into the token, so that this tree's front end accepts the result.
  testutil::RunResult release = testutil::Shell(
      "ZTPACK=" + Q(ZT_ZTPACK) + " bash " +
      Q(fs::path(ZT_SOURCE_DIR) / "scripts/token-release.sh") + " " + Q(work) + " --import-keys " +
      Q(ZT_DEV_KEYS_DIR) + " --stub " + Q(windows / "InstallerLogic.exe") + " --setup " +
      Q(windows / "tests/report_setup.exe"));
  ASSERT_EQ(release.exitCode, 0) << release.output();
  for (const char* step : {"ok      authenticode      sha256", "Signature verification: ok",
                           "none: every private key is inside the token"}) {
    EXPECT_NE(release.output().find(step), std::string::npos) << step << "\n" << release.output();
  }
  EXPECT_EQ(release.output().find(testutil::ReadFile(work / "hsm/pin")), std::string::npos)
      << "the PIN was printed";

  testutil::RunOptions options;
  std::string report = "Z:" + (dir / "report.json").string();
  for (char& c : report) c = c == '/' ? '\\' : c;
  options.env = {{"ZT_REPORT", report}};
  testutil::WineRunResult run =
      testutil::Wine::Get().Run((work / "out/example-installer.exe").string(), {}, options, "");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::string text = testutil::ReadFile(dir / "report.json");
  ASSERT_FALSE(text.empty()) << "the setup program did not run\n" << run.err;
  const nlohmann::json files = nlohmann::json::parse(text)["files"];
  bool found = false;
  for (const auto& f : files) found |= f["path"] == "docs\\readme.txt";
  EXPECT_TRUE(found) << text;
}

}  // namespace
