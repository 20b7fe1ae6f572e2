// Authenticode and the installer, the way a release pipeline signs: the finished installer signed
// with osslsigncode still verifies and runs; and a setup program signed in the order sign-setup,
// Authenticode, bundle attached last runs inside an installer, while its own Authenticode
// signature no longer verifies (the bundle follows the certificate table).
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "testutil/process.h"
#include "testutil/wine.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;

std::string Q(const fs::path& path) { return "'" + path.string() + "'"; }

class Authenticode : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_DEV_KEYS();
    ASSERT_EQ(testutil::MissingWindowsPrograms({"InstallerLogic.exe", "tests/report_setup.exe"}),
              "");
    ASSERT_TRUE(testutil::Wine::Get().ok()) << testutil::Wine::Get().error();
    // scripts/setup.sh installs both; a missing one is a broken machine, not a reason to skip.
    RunResult cert = testutil::Shell(
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Release -keyout " +
        Q(dir_ / "cert.key") + " -out " + Q(dir_ / "cert.pem"));
    ASSERT_EQ(cert.exitCode, 0) << cert.output();
  }

  RunResult Sign(const fs::path& in, const fs::path& out) {
    return testutil::Shell("osslsigncode sign -certs " + Q(dir_ / "cert.pem") + " -key " +
                           Q(dir_ / "cert.key") + " -n Installer -in " + Q(in) + " -out " + Q(out));
  }
  RunResult CheckSignature(const fs::path& file) {
    return testutil::Shell("osslsigncode verify -CAfile " + Q(dir_ / "cert.pem") + " -in " +
                           Q(file));
  }

  // Runs the installer under Wine; the files its setup program found, without its own two.
  nlohmann::json Installed(const fs::path& installer) {
    testutil::RunOptions options;
    std::string reportPath = "Z:" + (dir_ / "report.json").string();
    for (char& c : reportPath) c = c == '/' ? '\\' : c;
    options.env = {{"ZT_REPORT", reportPath}};
    fs::remove(dir_ / "report.json");
    testutil::WineRunResult run = testutil::Wine::Get().Run(installer.string(), {}, options, "");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string text = testutil::ReadFile(dir_ / "report.json");
    EXPECT_FALSE(text.empty()) << "the setup program did not run\n" << run.err;
    nlohmann::json files = nlohmann::json::array();
    if (text.empty()) return files;
    const nlohmann::json report = nlohmann::json::parse(text);
    for (const auto& f : report["files"]) {
      if (f["path"] != "setup.exe" && f["path"] != "ibnd") files.push_back(f["path"]);
    }
    return files;
  }

  worker_test::InstallerRecipe Recipe() const {
    worker_test::InstallerRecipe recipe;
    recipe.stubPath = (fs::path(testutil::WindowsBuildDir()) / "InstallerLogic.exe").string();
    recipe.setupPath =
        (fs::path(testutil::WindowsBuildDir()) / "tests" / "report_setup.exe").string();
    recipe.entries = {{"a", "alpha"}};
    recipe.script = "dep-silent,a,docs\\a.txt\n";
    return recipe;
  }

  testutil::TempDir dir_;
};

TEST_F(Authenticode, SignedInstallerVerifiesAndRuns) {
  const fs::path installer = worker_test::MakeInstaller(dir_, Recipe());
  const fs::path shipped = dir_ / "shipped.exe";
  RunResult sign = Sign(installer, shipped);
  ASSERT_EQ(sign.exitCode, 0) << sign.output();
  RunResult authenticode = CheckSignature(shipped);
  EXPECT_EQ(authenticode.exitCode, 0) << authenticode.output();
  RunResult verify = testutil::RunZtpack("verify -q " + Q(shipped));
  EXPECT_EQ(verify.exitCode, 0) << verify.output();
  EXPECT_EQ(Installed(shipped), nlohmann::json::array({"docs\\a.txt"}));
}

TEST_F(Authenticode, SetupProgramSignedBeforeItsBundleRunsButItsOwnSignatureBreaks) {
  // The bundle and the stub come from the fixture; the setup program is then signed anew, bound
  // to that bundle, in the order a setup program that carries its own Authenticode signature
  // needs.
  worker_test::InstallerRecipe recipe = Recipe();
  worker_test::MakeInstaller(dir_, recipe);
  const std::string key = std::string(ZT_DEV_KEYS_DIR) + "/setup.key";
  RunResult signSetup = testutil::RunZtpack(
      "sign-setup --key " + Q(key) + " --in " + Q(recipe.setupPath) + " --bind-bundle " +
      Q(dir_ / "ibnd") + " --out " + Q(dir_ / "setup-signed.exe"));
  ASSERT_EQ(signSetup.exitCode, 0) << signSetup.output();
  RunResult sign = Sign(dir_ / "setup-signed.exe", dir_ / "setup-final.exe");
  ASSERT_EQ(sign.exitCode, 0) << sign.output();
  EXPECT_EQ(CheckSignature(dir_ / "setup-final.exe").exitCode, 0)
      << "valid until the bundle is attached";
  RunResult attach = testutil::RunZtpack("attach --type IBND --data " + Q(dir_ / "ibnd") + " " +
                                         Q(dir_ / "setup-final.exe"));
  ASSERT_EQ(attach.exitCode, 0) << attach.output();

  // The certificate table is no longer at the end of the file: the setup program's own
  // Authenticode signature fails, while the installer's check accepts it.
  RunResult broken = CheckSignature(dir_ / "setup-final.exe");
  EXPECT_NE(broken.exitCode, 0) << broken.output();
  EXPECT_NE(broken.output().find("not at the end of the file"), std::string::npos)
      << broken.output();
  const fs::path installer = dir_ / "ordered.exe";
  RunResult build =
      testutil::RunZtpack("build --stub " + Q(recipe.stubPath) + " --setup " +
                          Q(dir_ / "setup-final.exe") + " --mode silent --out " + Q(installer));
  ASSERT_EQ(build.exitCode, 0) << build.output();
  RunResult verify = testutil::RunZtpack("verify -q " + Q(installer));
  EXPECT_EQ(verify.exitCode, 0) << verify.output();
  EXPECT_EQ(Installed(installer), nlohmann::json::array({"docs\\a.txt"}));
}

}  // namespace
