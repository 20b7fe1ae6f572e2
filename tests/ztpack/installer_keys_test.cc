// The keys an installer trusts are written into its stub by make and build, and read back from
// it by verify: a product's own keys give an installer that trusts them, whatever keys the stub
// was built with, and an installer whose keys do not fit its contents fails verify.
#include <gtest/gtest.h>

#include <string>

#include "read/stub_keys.h"
#include "testutil/process.h"
#include "worker/installer_fixture.h"

namespace worker_test {
namespace {

namespace fs = std::filesystem;

class InstallerKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kHaveDevKeys) GTEST_SKIP() << "built with release keys";
    fs::create_directories(dir_ / "payload");
    testutil::WriteFile(dir_ / "payload" / "install_script", "dep-silent,a.txt,a.txt\n");
    testutil::WriteFile(dir_ / "payload" / "a.txt", "a");
    testutil::WriteFile(dir_ / "setup.sh", kReportingSetup);
    testutil::WriteFile(dir_ / "stub.exe", testutil::KeyedStub());
    // The product's own keys; the stub holds the development keys it was built with.
    ASSERT_EQ(Ztpack("keygen --out " + Path("own")).exitCode, 0);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static testutil::RunResult Ztpack(const std::string& arguments) {
    return testutil::RunZtpack(arguments + " 2>&1");
  }
  testutil::RunResult Make(const std::string& keys, const std::string& output) {
    testutil::WriteFile(
        dir_ / (output + ".toml"),
        "stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = \"silent\"\noutput = \"" + output +
            "\"\n[payload]\nfolder = \"payload\"\n[keys]\ndir = \"" + keys + "\"\n");
    return Ztpack("make -q " + Path(output + ".toml"));
  }
  std::string Own(const char* name) const { return testutil::ReadFile(dir_ / "own" / name); }
  static std::string Dev(const char* name) {
    return testutil::ReadFile(fs::path(ZT_DEV_KEYS_DIR) / name);
  }

  testutil::TempDir dir_;
};

TEST_F(InstallerKeys, OwnKeysReplaceTheStubsAndVerifyChecksWithThem) {
  auto made = Make(Path("own"), "own.exe");
  ASSERT_EQ(made.exitCode, 0) << made.output();
  EXPECT_NE(made.output().find("the stub's keys are replaced: root " +
                               ztpack::KeyFingerprint(Dev("root.der")) + " by " +
                               ztpack::KeyFingerprint(Own("root.der"))),
            std::string::npos)
      << made.output();
  auto place = ztpack::ReadStubKeyPlace(Path("own.exe"));
  ASSERT_TRUE(place.ok()) << place.error();
  EXPECT_EQ(place->keys.root, Own("root.der"));
  EXPECT_EQ(place->keys.setup, Own("setup.der"));

  auto verified = Ztpack("verify -q " + Path("own.exe"));
  EXPECT_EQ(verified.exitCode, 0) << verified.output();
  EXPECT_NE(verified.output().find(ztpack::KeyFingerprint(Own("setup.der"))), std::string::npos);
  // A key given states what the installer is expected to trust.
  auto expected =
      Ztpack("verify -q " + Path("own.exe") + " --root-key " + ZT_DEV_KEYS_DIR + "/root.der");
  EXPECT_EQ(expected.exitCode, 1) << expected.output();
  EXPECT_NE(
      expected.output().find("the installer trusts " + ztpack::KeyFingerprint(Own("root.der")) +
                             ", but " + ztpack::KeyFingerprint(Dev("root.der")) + " was expected"),
      std::string::npos)
      << expected.output();

  // With the keys the stub already holds nothing is replaced.
  auto same = Make(ZT_DEV_KEYS_DIR, "dev.exe");
  ASSERT_EQ(same.exitCode, 0) << same.output();
  EXPECT_EQ(same.output().find("replaced"), std::string::npos) << same.output();
}

TEST_F(InstallerKeys, KeysThatDoNotFitTheContentsFailVerifyWhateverKeysAreGiven) {
  ASSERT_EQ(Make(ZT_DEV_KEYS_DIR, "dev.exe").exitCode, 0);
  // By hand: the development-key installer with the product's keys in its place.
  auto place = ztpack::ReadStubKeyPlace(Path("dev.exe"));
  ASSERT_TRUE(place.ok()) << place.error();
  std::string bytes = testutil::ReadFile(dir_ / "dev.exe");
  bytes.replace(place->offset, verify::kKeyPlaceSize,
                verify::EncodeKeyPlace(Own("root.der"), Own("setup.der")).value());
  testutil::WriteFile(dir_ / "mixed.exe", bytes);
  const std::string dev = std::string(" --root-key ") + ZT_DEV_KEYS_DIR + "/root.der --setup-key " +
                          ZT_DEV_KEYS_DIR + "/setup.der";
  const std::string own =
      " --root-key " + Path("own/root.der") + " --setup-key " + Path("own/setup.der");
  for (const std::string& keys : {std::string(), dev, own}) {
    auto run = Ztpack("verify -q " + Path("mixed.exe") + keys);
    EXPECT_EQ(run.exitCode, 1) << keys << "\n" << run.output();
    EXPECT_NE(run.output().find("FAILED  bundle "), std::string::npos) << keys << "\n"
                                                                       << run.output();
  }
}

TEST_F(InstallerKeys, BuildFillsThePlaceAndRefusesAnInstallerThatWouldNotRun) {
  ASSERT_EQ(Make(ZT_DEV_KEYS_DIR, "dev.exe").exitCode, 0);
  ASSERT_EQ(Ztpack("extract -q --setup " + Path("dev.exe") + " --out " + Path("x")).exitCode, 0);
  testutil::WriteFile(dir_ / "empty.exe", testutil::KeyedStub("", ""));
  testutil::WriteFile(dir_ / "placeless.exe", testutil::PeFixture{}.Build());
  const std::string devKeys = std::string(" --root-key ") + ZT_DEV_KEYS_DIR +
                              "/root.der --setup-key " + ZT_DEV_KEYS_DIR + "/setup.der";
  struct Case {
    std::string stub, keys;
    int exit;
    std::string says;
  } cases[] = {
      {"empty.exe", "", 1, "the stub's key place is empty and no keys were given"},
      {"empty.exe", " --root-key " + Path("own/root.der"), 1, "give both"},
      {"empty.exe", " --root-key " + Path("own/root.der") + " --setup-key " + Path("own/setup.der"),
       1, "the installer would refuse its bundle"},
      {"empty.exe",
       " --root-key " + std::string(ZT_DEV_KEYS_DIR) + "/root.der --setup-key " +
           Path("own/setup.der"),
       1, "the installer would refuse its setup program"},
      {"placeless.exe", devKeys, 1, "no key place"},
      {"empty.exe", devKeys, 0, ""},
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "built.exe");
    auto run = Ztpack("build --stub " + Path(c.stub) + " --setup " + Path("x/setup.exe") +
                      " --mode silent --out " + Path("built.exe") + c.keys);
    EXPECT_EQ(run.exitCode, c.exit) << c.stub << c.keys << "\n" << run.output();
    EXPECT_NE(run.output().find(c.says), std::string::npos) << c.keys << "\n" << run.output();
    EXPECT_EQ(fs::exists(dir_ / "built.exe"), c.exit == 0) << c.keys;
  }
  EXPECT_EQ(Ztpack("verify -q " + Path("built.exe")).exitCode, 0);
}

}  // namespace
}  // namespace worker_test
