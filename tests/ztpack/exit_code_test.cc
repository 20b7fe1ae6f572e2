// Every command exits by one table: 0 success, 1 a check or the operation failed, 2 a usage
// error or an input that cannot be read. Also: the root key comes from --root-key, else from
// $ZTPACK_ROOT_KEY, and without either a bundle alone is not checked at all (ztpack has no key).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "testutil/pe_fixture.h"
#include "testutil/temp_dir.h"

namespace {

class ExitCodes : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::WriteFile(dir_ / "stub.exe", testutil::KeyedStub());
    testutil::WriteFile(dir_ / "a.txt", "a");
    testutil::WriteFile(dir_ / "script", "dep-gui,a.txt,a.txt\ndep-silent,a.txt,a.txt\n");
    ASSERT_EQ(Run("certify --root-key " + Key("root.key") + " --public " + Key("bundle.der") +
                  " --goal IBND --out " + P("cert")),
              0);
    ASSERT_EQ(Run("bundle -q --script " + P("script") + " --entry a.txt=" + P("a.txt") + " --key " +
                  Key("bundle.key") + " --cert " + P("cert") + " --out " + P("ok.bin")),
              0);
    std::string bytes = testutil::ReadFile(dir_ / "ok.bin");
    bytes[bytes.size() / 2] ^= 1;
    testutil::WriteFile(dir_ / "bad.bin", bytes);
  }
  std::string P(const std::string& name) const { return "'" + (dir_ / name).string() + "'"; }
  static std::string Key(const std::string& name) {
    return std::string("'") + ZT_DEV_KEYS_DIR + "/" + name + "'";
  }
  int Run(const std::string& args, const std::string& env = "") const {
    const std::string command =
        "cd " + P("") + " && " + env + " " + ZT_ZTPACK + " " + args + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  testutil::TempDir dir_;
};

TEST_F(ExitCodes, OneTableForEveryCommand) {
  if (!ZT_USING_DEV_ROOT_KEY) GTEST_SKIP() << "the bundles here are certified by the dev root key";
  struct Case {
    const char* args;
    int exit;
    const char* env = "";
  };
  static constexpr const char* kRoot = "ZTPACK_ROOT_KEY=" ZT_DEV_KEYS_DIR "/root.der";
  const Case cases[] = {
      // The program itself.
      {"--help", 0},
      {"--version", 0},
      {"verify --help", 0},
      {"", 2},
      {"no-such-command", 2},
      // inspect
      {"inspect ok.bin", 0},
      {"inspect", 2},
      {"inspect missing", 2},
      {"inspect --root-key missing ok.bin", 2},
      // verify
      {"verify -q ok.bin", 0, kRoot},
      {"verify -q bad.bin", 1, kRoot},
      {"verify -q ok.bin", 2},  // a bundle alone, and no key to check it with
      {"verify -q --platform arm ok.bin", 2},
      {"verify -q missing", 2},
      // extract
      {"extract -q ok.bin --out x1", 0, kRoot},
      {"extract -q bad.bin --out x2", 1, kRoot},
      {"extract -q ok.bin --out x6", 2},
      {"extract -q ok.bin", 2},
      {"extract -q missing --out x3", 2},
      // writers
      {"attach --type ABCD --data a.txt stub.exe --out s1", 0},
      {"attach --type ABC --data a.txt stub.exe --out s2", 2},
      {"attach --type ABCD --data missing stub.exe --out s3", 2},
      {"section --type ABCD --data a.txt --out s4 a.txt", 1},  // not a PE
      {"section --type ABCD --data missing stub.exe --out s5", 2},
      {"build --stub stub.exe --setup a.txt --mode GUI --out s6", 2},
      {"certify --root-key bundle.key --public missing --goal IBND --out s7", 2},
      {"bundle -q --script missing --key k --cert cert --out s8", 2},
      {"make missing.toml", 2},
      {"keygen", 2},
      // The root key: the option, else $ZTPACK_ROOT_KEY; ztpack has none of its own.
      {"verify -q ok.bin", 1, "ZTPACK_ROOT_KEY=" ZT_DEV_KEYS_DIR "/bundle.der"},
      {"verify -q --root-key " ZT_DEV_KEYS_DIR "/root.der ok.bin", 0,
       "ZTPACK_ROOT_KEY=" ZT_DEV_KEYS_DIR "/bundle.der"},
      {"extract -q ok.bin --out x4", 1, "ZTPACK_ROOT_KEY=" ZT_DEV_KEYS_DIR "/bundle.der"},
      {"inspect ok.bin", 2, "ZTPACK_ROOT_KEY=missing"},
      {"extract -q ok.bin --out x5", 2, "ZTPACK_ROOT_KEY=missing"},
  };
  for (const Case& c : cases) EXPECT_EQ(Run(c.args, c.env), c.exit) << c.env << " " << c.args;
}

}  // namespace
