// A product's own keys and identity on the real front end under Wine: make writes them into a
// stub built with other keys, the installer runs its setup program, Windows' own calls read the
// version strings and the icon back, pefile and wrestool read the same, and an Authenticode
// signature made afterwards verifies.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "testutil/process.h"
#include "testutil/wine.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;

std::string Q(const fs::path& path) { return "'" + path.string() + "'"; }

TEST(Identity, OwnKeysAndIdentityOnTheRealFrontEnd) {
  SKIP_WITHOUT_DEV_KEYS();
  ASSERT_EQ(testutil::MissingWindowsPrograms(
                {"InstallerLogic.exe", "tests/report_setup.exe", "tests/read_identity.exe"}),
            "");
  const testutil::Wine& wine = testutil::Wine::Get();
  ASSERT_TRUE(wine.ok()) << wine.error();
  testutil::TempDir dir;
  const fs::path build = testutil::WindowsBuildDir();
  ASSERT_EQ(testutil::RunZtpack("keygen --out " + Q(dir / "keys")).exitCode, 0);
  fs::create_directories(dir / "payload");
  testutil::WriteFile(dir / "payload" / "install_script", "dep-silent,a.txt,a.txt\n");
  testutil::WriteFile(dir / "payload" / "a.txt", "a");
  testutil::WriteFile(
      dir / "app.toml",
      "stub = \"" + (build / "InstallerLogic.exe").string() + "\"\nsetup = \"" +
          (build / "tests" / "report_setup.exe").string() +
          "\"\nmode = \"silent\"\noutput = \"app.exe\"\n[payload]\nfolder = \"payload\"\n"
          "[keys]\ndir = \"keys\"\n[identity]\nicon = \"" ZT_SOURCE_DIR
          "/demo/app.ico\"\n"
          "product_name = \"Demo App\"\ncompany_name = \"Example Ltd\"\n"
          "file_version = \"2.1.0.7\"\ndpi_awareness = \"permonitorv2\"\n"
          "strings = { Comments = \"own keys\" }\n");
  RunResult made = testutil::RunZtpack("make -q " + Q(dir / "app.toml"));
  ASSERT_EQ(made.exitCode, 0) << made.output();
  EXPECT_NE(made.output().find("the stub's keys are replaced"), std::string::npos) << made.output();

  testutil::RunOptions options;
  std::string report = "Z:" + (dir / "report.json").string();
  for (char& c : report) c = c == '/' ? '\\' : c;
  options.env = {{"ZT_REPORT", report}};
  testutil::WineRunResult run = wine.Run((dir / "app.exe").string(), {}, options);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(testutil::ReadFile(dir / "report.json").empty()) << run.err;

  testutil::WineRunResult read =
      wine.Run((build / "tests" / "read_identity.exe").string(),
               {"Z:" + (dir / "app.exe").string(), "ProductName", "CompanyName", "Comments"});
  const std::string text = read.outText();
  for (const char* line : {"icons=1\n", "fixed=2.1.0.7\n", "ProductName=Demo App\n",
                           "CompanyName=Example Ltd\n", "Comments=own keys\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text << read.err;
  }
  if (testutil::HaveCommand("wrestool")) {
    RunResult icons = testutil::Shell("wrestool -l " + Q(dir / "app.exe"));
    EXPECT_NE(icons.out.find("--type=14"), std::string::npos) << icons.output();
  }
  if (testutil::Shell("python3 -c 'import pefile'").exitCode == 0) {
    RunResult pe = testutil::Shell(
        "python3 -c 'import pefile,sys; p=pefile.PE(sys.argv[1]); "
        "print([s.entries for f in p.FileInfo[0] if hasattr(f, \"StringTable\") "
        "for s in f.StringTable])' " +
        Q(dir / "app.exe"));
    EXPECT_NE(pe.out.find("b'Demo App'"), std::string::npos) << pe.output();
  }

  // Signed afterwards: both checks pass.
  ASSERT_EQ(testutil::Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Release "
                            "-keyout " +
                            Q(dir / "cert.key") + " -out " + Q(dir / "cert.pem"))
                .exitCode,
            0);
  RunResult sign = testutil::Shell("osslsigncode sign -certs " + Q(dir / "cert.pem") + " -key " +
                                   Q(dir / "cert.key") + " -in " + Q(dir / "app.exe") + " -out " +
                                   Q(dir / "signed.exe"));
  ASSERT_EQ(sign.exitCode, 0) << sign.output();
  EXPECT_EQ(testutil::Shell("osslsigncode verify -CAfile " + Q(dir / "cert.pem") + " -in " +
                            Q(dir / "signed.exe"))
                .exitCode,
            0);
  RunResult verified = testutil::RunZtpack("verify -q " + Q(dir / "signed.exe") + " --root-key " +
                                           Q(dir / "keys" / "root.der"));
  EXPECT_EQ(verified.exitCode, 0) << verified.output();
  EXPECT_NE(verified.out.find("ProductName \"Demo App\""), std::string::npos) << verified.out;
}

}  // namespace
