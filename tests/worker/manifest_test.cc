// ztpack make's manifest: the same inputs give the same installer, and mistakes are reported
// with the manifest's line.
#include <gtest/gtest.h>

#include <string>

#include "installer_fixture.h"
#include "manifest.h"

namespace worker_test {
namespace {

void WritePayload(const testutil::TempDir& dir) {
  std::filesystem::create_directories(dir / "payload" / "sub");
  testutil::WriteFile(dir / "payload" / "install_script", "dep-silent,sub/b.txt,b.txt\n");
  testutil::WriteFile(dir / "payload" / "a.txt", "a");
  testutil::WriteFile(dir / "payload" / "sub" / "b.txt", "b");
  testutil::WriteFile(dir / "stub.exe", testutil::PeFixture{}.Build());
  testutil::WriteFile(dir / "setup.sh", kReportingSetup);
}

std::string Manifest(const std::string& extra = "", const std::string& output = "out.exe") {
  return "stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = \"silent\"\noutput = \"" + output +
         "\"\n" + extra + "[payload]\nfolder = \"payload\"\n[keys]\ndir = \"" ZT_DEV_KEYS_DIR "\"\n";
}

TEST(Make, SameInputsGiveTheSameInstaller) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  WritePayload(dir);
  testutil::WriteFile(dir / "one.toml", Manifest("", "one.exe"));
  testutil::WriteFile(dir / "two.toml", Manifest("", "two.exe"));
  for (const char* name : {"one.toml", "two.toml"}) {
    auto manifest = ztpack::LoadManifest((dir / name).string());
    ASSERT_TRUE(manifest.ok()) << manifest.error();
    support::Status made = ztpack::MakeInstaller(*manifest);
    ASSERT_TRUE(made.ok()) << made.error();
  }
  std::string one = testutil::ReadFile(dir / "one.exe");
  EXPECT_GT(one.size(), 1000u);
  EXPECT_EQ(one, testutil::ReadFile(dir / "two.exe"));
  // Nothing of the intermediate steps is left beside the output.
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename().string().rfind(".ztpack-make-", 0), std::string::npos);
  }
}

TEST(Make, ErrorsNameTheLine) {
  SKIP_WITHOUT_DEV_KEYS();
  struct Case {
    std::string manifest;
    std::string expected;  // part of the error
  } cases[] = {
      {Manifest("colour = \"red\"\n"), ":5: unknown key \"colour\""},
      {Manifest("[bundle]\ngoal = \"IB\"\n"), ":6: \"goal\" must be 4 characters"},
      {Manifest("[bundle]\nchunk_size = 0\n"), ":6: \"chunk_size\" must lie in 1.."},
      {"stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = 3\n", ":3: \"mode\" must be a string"},
      {"stub = \"stub.exe\"\nsetup = \n", ":2:"},
      {"stub = \"stub.exe\"\nsetup = \"setup.sh\"\noutput = \"o\"\n", "missing key \"mode\""},
  };
  for (const Case& c : cases) {
    testutil::TempDir dir;
    WritePayload(dir);
    testutil::WriteFile(dir / "m.toml", c.manifest);
    auto manifest = ztpack::LoadManifest((dir / "m.toml").string());
    ASSERT_FALSE(manifest.ok()) << c.manifest;
    EXPECT_NE(manifest.error().find(c.expected), std::string::npos) << manifest.error();
  }
}

TEST(Build, RefusesAnEmptyMode) {
  testutil::TempDir dir;
  WritePayload(dir);
  support::Status built = ztpack::BuildInstaller((dir / "stub.exe").string(),
                                                 (dir / "setup.sh").string(), "",
                                                 (dir / "out.exe").string());
  EXPECT_FALSE(built.ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "out.exe"));
}

}  // namespace
}  // namespace worker_test
