// What `ztpack verify` and `ztpack extract --install` say about an installer, held against the
// real front end running it under Wine (64-bit Windows, version 6 or later, to either build).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "testutil/wine.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string Hex(const std::string& data) {
  CryptoPP::SHA1 hash;
  unsigned char digest[CryptoPP::SHA1::DIGESTSIZE];
  hash.CalculateDigest(digest, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  std::string out;
  for (unsigned char b : digest) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ZtpackUnderWine, ExtractInstallMatchesTheFrontEnd) {
  SKIP_WITHOUT_DEV_KEYS();
  ASSERT_EQ(testutil::MissingWindowsPrograms({"InstallerLogic.exe", "tests/report_setup.exe"}), "");
  const testutil::Wine& wine = testutil::Wine::Get();
  ASSERT_TRUE(wine.ok()) << wine.error();
  testutil::TempDir dir;
  worker_test::InstallerRecipe recipe;
  recipe.stubPath = (fs::path(testutil::WindowsBuildDir()) / "InstallerLogic.exe").string();
  recipe.setupPath = (fs::path(testutil::WindowsBuildDir()) / "tests" / "report_setup.exe").string();
  recipe.entries = {{"a", "all"}, {"b32", "x86 only"}, {"b64", "x64 only"},
                    {"new", "6 and later"}, {"old", "before 6"}};
  recipe.script =
      "dep-silent,a,a.txt\n"
      "dep-x86-silent,b32,bin\\lib.dll\n"
      "dep-x64-silent,b64,bin\\lib.dll\n"
      "dep-w6+-silent,new,sys\\v.txt\n"
      "dep-w<6-silent,old,sys\\v.txt\n";
  const std::string installer = worker_test::MakeInstaller(dir, recipe);

  const std::string ztpack = ZT_ZTPACK;
  ASSERT_EQ(Shell(ztpack + " verify -q '" + installer + "' --platform x64 --windows-major 10 >/dev/null"), 0);
  ASSERT_EQ(Shell(ztpack + " extract -q --install --platform x64 --windows-major 10 '" + installer +
                  "' --out '" + (dir / "x").string() + "' >/dev/null"),
            0);
  std::map<std::string, std::string> extracted;
  for (const auto& e : fs::recursive_directory_iterator(dir / "x")) {
    if (!e.is_regular_file()) continue;
    std::string path = fs::relative(e.path(), dir / "x").generic_string();
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    extracted[path] = Hex(testutil::ReadFile(e.path()));
  }

  std::string reportPath = "Z:" + (dir / "report.json").string();
  for (char& c : reportPath) {
    if (c == '/') c = '\\';
  }
  testutil::RunOptions options;
  options.env = {{"ZT_REPORT", reportPath}};
  testutil::WineRunResult run = testutil::Wine::Get().Run(installer, {}, options, "");
  ASSERT_FALSE(run.timedOut);
  const std::string text = testutil::ReadFile(dir / "report.json");
  ASSERT_FALSE(text.empty()) << run.err;
  std::map<std::string, std::string> installed;
  const nlohmann::json report = nlohmann::json::parse(text);
  for (const auto& f : report["files"]) installed[f["path"]] = f["sha1"];
  installed.erase("setup.exe");
  installed.erase("ibnd");
  EXPECT_EQ(extracted, installed);
  EXPECT_EQ(extracted["bin\\lib.dll"], Hex("x64 only"));
}

}  // namespace
