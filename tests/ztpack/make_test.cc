// ztpack make's manifest: the same inputs give the same installer, and mistakes are reported
// with the manifest's line.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "author/make_pipeline.h"
#include "author/store_once.h"
#include "container/attachment.h"
#include "verify/bundle_binding.h"
#include "worker/installer_fixture.h"

namespace worker_test {
namespace {

void WritePayload(const testutil::TempDir& dir) {
  std::filesystem::create_directories(dir / "payload" / "sub");
  testutil::WriteFile(dir / "payload" / "install_script", "dep-silent,sub/b.txt,b.txt\n");
  testutil::WriteFile(dir / "payload" / "a.txt", "a");
  testutil::WriteFile(dir / "payload" / "sub" / "b.txt", "b");
  testutil::WriteFile(dir / "stub.exe", testutil::KeyedStub());
  testutil::WriteFile(dir / "setup.sh", kReportingSetup);
}

std::string Manifest(const std::string& extra = "", const std::string& output = "out.exe") {
  return "stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = \"silent\"\noutput = \"" + output +
         "\"\n" + extra +
         "[payload]\nfolder = \"payload\"\n[keys]\ndir = \"" ZT_DEV_KEYS_DIR "\"\n";
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
  // The setup program is bound to its bundle, unless the manifest says otherwise.
  testutil::WriteFile(dir / "free.toml", "bind_bundle = false\n" + Manifest("", "free.exe"));
  auto free = ztpack::LoadManifest((dir / "free.toml").string());
  ASSERT_TRUE(free.ok()) << free.error();
  ASSERT_TRUE(ztpack::MakeInstaller(*free).ok());
  for (const char* name : {"one", "free"}) {
    testutil::DebugCapture quiet;
    const std::filesystem::path setup = dir / (std::string(name) + ".setup");
    ASSERT_TRUE(container::ExtractAttachmentToFile(
        true, (dir / (std::string(name) + ".exe")).u16string(), "LOAD", setup.u16string(), 1, 0));
    const verify::BundleBinding binding = verify::ReadBundleBinding(setup.u16string());
    EXPECT_EQ(binding.signedDigest.size(), std::string(name) == "one" ? 40u : 0u) << name;
    EXPECT_EQ(binding.memberDigest, binding.signedDigest) << name;
  }
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
      {Manifest("[bundle]\nlevel = 13\n"), ":6: \"level\" must lie in 0..12"},
      {"stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = 3\n", ":3: \"mode\" must be a string"},
      {"stub = \"stub.exe\"\nsetup = \n", ":2:"},
      {"stub = \"stub.exe\"\nsetup = \"setup.sh\"\noutput = \"o\"\n", "missing key \"mode\""},
      {"bind_bundle = \"no\"\n", ":1: \"bind_bundle\" must be true or false"},
      {"stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = \"silent\"\noutput = \"o\"\n[payload]\n"
       "folder = \"payload\"\nstore_once = 1\n",
       ":7: \"store_once\" must be true or false"},
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

// Asked for, identical files are stored once, and the front end still installs every copy,
// under every target that names one, including a copy named by a directive written with CR LF.
// Without it, every file is stored under its own name.
TEST(Make, IdenticalFilesStoredOnceWhenAskedAndInstalledEveryTime) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  WritePayload(dir);
  std::mt19937 rng(7);
  std::string same(200000, '\0');
  for (char& c : same) c = static_cast<char>(rng());
  testutil::WriteFile(dir / "payload" / "a.bin", same);
  testutil::WriteFile(dir / "payload" / "sub" / "copy.bin", same);
  testutil::WriteFile(dir / "payload" / "z.bin", same);
  testutil::WriteFile(dir / "payload" / "install_script",
                      "# the copies\n"
                      "dep-silent,z.bin,one\\z.bin\r\n"
                      "  dep-silent,sub/copy.bin,copy.bin,extra\n"
                      "dep-silent,a.bin,a.bin\n"
                      "dep-silent,z.bin,two\\z.bin");
  std::string text = Manifest();
  text.replace(text.find("[payload]\n"), 10, "[payload]\nstore_once = true\n");
  testutil::WriteFile(dir / "m.toml", text);
  testutil::WriteFile(dir / "every.toml", Manifest("", "every.exe"));
  auto manifest = ztpack::LoadManifest((dir / "m.toml").string());
  ASSERT_TRUE(manifest.ok()) << manifest.error();
  std::vector<std::string> notes;
  ztpack::MakeOptions options;
  options.note = [&](const std::string& line) { notes.push_back(line); };
  ASSERT_TRUE(ztpack::MakeInstaller(*manifest, options).ok());
  // One copy of the 200,000 random bytes, not three; the copies are named.
  EXPECT_LT(std::filesystem::file_size(dir / "out.exe"), 300000u);
  EXPECT_EQ(notes, (std::vector<std::string>{
                       "stored once: \"sub/copy.bin\" now points to \"a.bin\"",
                       "stored once: \"z.bin\" now points to \"a.bin\"",
                       "stored once: 2 entries of identical content left out, 400000 bytes"}));
  auto every = ztpack::LoadManifest((dir / "every.toml").string());
  ASSERT_TRUE(every.ok()) << every.error();
  ASSERT_TRUE(ztpack::MakeInstaller(*every).ok());
  EXPECT_GT(std::filesystem::file_size(dir / "every.exe"), 600000u);

  RunOutcome run = RunInstaller(dir, (dir / "out.exe").string(), u"");
  ASSERT_TRUE(run.report.ran) << run.trace;
  std::map<std::string, std::string> expected;
  const std::string hex = testutil::Sha1Hex(same);
  for (const char* file : {"./one/z.bin", "./copy.bin", "./a.bin", "./two/z.bin"})
    expected[file] = hex;
  EXPECT_EQ(run.report.files, expected);
}

// The rewrite gives the front end the same directives with the new name, and leaves alone what
// it cannot rewrite without moving the line reader's piece edges.
TEST(StoreOnce, RenamesExactlyWhatTheFrontEndReadsAsTheEntryName) {
  const std::map<std::string, std::string> renames = {{"b", "a"},
                                                      {"c", "long-" + std::string(40, 'c')}};
  const std::string longTarget(2000, 't');
  struct Case {
    std::string script, expected;
    std::set<std::string> refused;
  } cases[] = {
      {"dep-gui,b,t\n", "dep-gui,a,t\n", {}},
      {" \t dep-gui,b,t,more\r\n#x\n", " \t dep-gui,a,t,more\n#x\n", {}},
      {"dep-gui,b\r,t\n", "dep-gui,a,t\n", {}},  // the reader drops the carriage return
      {"dep-gui,b,t", "dep-gui,a,t", {}},
      {"# dep-gui,b,t\ndep-gui,b\n,b,\nx,bb,t\n", "# dep-gui,b,t\ndep-gui,b\n,a,\nx,bb,t\n", {}},
      {std::string("dep-gui,b,t\0\n", 13), std::string("dep-gui,b,t\0\n", 13), {"b"}},
      {"dep-gui,c," + longTarget + "\ndep-gui,b,t\n",
       "dep-gui,c," + longTarget + "\ndep-gui,a,t\n",
       {"c"}},
      // A piece that fills 2047 bytes with only carriage returns after it is not known to end.
      {"dep-gui,b," + std::string(2037, 't') + "\r\r",
       "dep-gui,b," + std::string(2037, 't') + "\r\r",
       {"b"}},
      // A piece cut at 2047 bytes: every directive naming that entry keeps its name.
      {"dep-gui,c,t\ndep-gui,c," + std::string(2040, 't') + "\n",
       "dep-gui,c,t\ndep-gui,c," + std::string(2040, 't') + "\n",
       {"c"}},
  };
  for (const Case& c : cases) {
    std::set<std::string> refused;
    EXPECT_EQ(ztpack::RenameScriptEntries(c.script, renames, &refused), c.expected) << c.script;
    EXPECT_EQ(refused, c.refused) << c.script;
  }
}

TEST(Build, RefusesAnEmptyMode) {
  testutil::TempDir dir;
  WritePayload(dir);
  support::Status built = ztpack::BuildInstaller(
      (dir / "stub.exe").string(), (dir / "setup.sh").string(), "", (dir / "out.exe").string());
  EXPECT_FALSE(built.ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "out.exe"));
}

}  // namespace
}  // namespace worker_test
