// ztpack attach, section and inspect, run as the program people and scripts run.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "container/attachment.h"
#include "testutil/capture.h"
#include "testutil/pe_fixture.h"
#include "testutil/process.h"
#include "testutil/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;
using testutil::RunZtpack;

std::vector<std::string> Listing(const testutil::TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class ContainerCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::WriteFile(dir_ / "stub.exe", testutil::PeFixture{}.Build());
    testutil::WriteFile(dir_ / "type.txt", "gui");
    testutil::WriteFile(dir_ / "load.bin", std::string(5000, 'L'));
  }
  std::string P(const std::string& name) const { return "'" + (dir_ / name).string() + "'"; }
  testutil::TempDir dir_;
};

TEST_F(ContainerCommands, HelpForEverySubcommand) {
  for (const char* command : {"attach", "section", "inspect"}) {
    RunResult r = RunZtpack(std::string(command) + " --help");
    EXPECT_EQ(r.exitCode, 0) << command;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << command << ": " << r.out;
  }
}

TEST_F(ContainerCommands, SectionThenReadBack) {
  RunResult r = RunZtpack("section --type TYPE --data " + P("type.txt") + " --type LOAD --data " +
                          P("load.bin") + " --out " + P("out.exe") + " " + P("stub.exe"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(testutil::ReadFile(dir_ / "stub.exe"), testutil::PeFixture{}.Build())
      << "--out leaves the input alone";
  support::testing::ForceTrace(0);
  EXPECT_EQ(container::ReadAttachmentToString(dir_.u16("out.exe"), "TYPE"), "gui");
  EXPECT_EQ(container::ReadAttachmentToString(dir_.u16("out.exe"), "LOAD"), std::string(5000, 'L'));
  support::testing::ForceTrace(-1);

  r = RunZtpack("inspect --json " + P("out.exe"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  nlohmann::json report = nlohmann::json::parse(r.out);
  EXPECT_EQ(report["pe"]["format"], "PE32");
  EXPECT_EQ(report["pe"]["sections"].size(), 3u);
  EXPECT_EQ(report["pe"]["sections"][2]["name"], ".ZTBNDL");
  EXPECT_EQ(report["pe"]["checksum"], report["pe"]["checksum_computed"]);
  const nlohmann::json& chain = report["chains"]["section"];
  EXPECT_EQ(chain["end"], 0x3000 + 0x1400);
  ASSERT_EQ(chain["attachments"].size(), 2u);
  EXPECT_EQ(chain["attachments"][0]["type"], "LOAD");
  EXPECT_EQ(chain["attachments"][0]["size"], 5000);
  EXPECT_EQ(chain["attachments"][0]["digest_ok"], true);
  EXPECT_EQ(chain["attachments"][1]["type"], "TYPE");
  EXPECT_EQ(chain["attachments"][1]["data_offset"],
            chain["attachments"][0]["data_offset"].get<int64_t>() - 28 - 3);
  EXPECT_EQ(report["chains"]["file"], chain);
}

TEST_F(ContainerCommands, AttachAppendsAndInspectSeesADamagedDigest) {
  testutil::WriteFile(dir_ / "plain.bin", "some file");
  RunResult r = RunZtpack("attach --type DATA --data " + P("load.bin") + " " + P("plain.bin"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string bytes = testutil::ReadFile(dir_ / "plain.bin");
  ASSERT_EQ(bytes.size(), 9u + 5000 + 28);
  EXPECT_EQ(bytes.substr(0, 9), "some file");
  bytes[100] ^= 1;
  testutil::WriteFile(dir_ / "plain.bin", bytes);
  r = RunZtpack("inspect " + P("plain.bin"));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("not a PE file"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DATA   size 5000       data at 0x00000009  digest MISMATCH"),
            std::string::npos)
      << r.out;
}

// Failures: a clear message, a non-zero exit, and nothing half-written left anywhere.
TEST_F(ContainerCommands, Failures) {
  testutil::PeFixture overlay;
  overlay.fileSize = 0x900;
  testutil::WriteFile(dir_ / "overlay.exe", overlay.Build());
  struct Case {
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {"section --type TYPE --data " + P("type.txt") + " " + P("overlay.exe"),
       "overlay.exe: overlay: 0x100 bytes follow the last section's data at 0x800"},
      {"section --type TYP --data " + P("type.txt") + " " + P("stub.exe"),
       "attachment type \"TYP\" must be exactly 4 characters, not 3"},
      {"section --type TYPE --data " + P("type.txt") + " --type LOAD " + P("stub.exe"),
       "2 --type options but 1 --data options"},
      {"section --type TYPE --data " + P("missing") + " " + P("stub.exe"), "missing: No such file"},
      {"section --type TYPE --data " + P("type.txt") + " " + P("type.txt"),
       "type.txt: DOS header: no \"MZ\" at offset 0"},
      {"attach --type LOADS --data " + P("load.bin") + " " + P("type.txt"),
       "must be exactly 4 characters"},
      {"attach --type LOAD --data " + P("load.bin") + " " + P("nofile"), "nofile: No such file"},
      {"inspect " + P("nofile"), "nofile: cannot open the file"},
      {"section " + P("stub.exe"), "--type is required"},
  };
  const std::vector<std::string> before = Listing(dir_);
  const std::string stub = testutil::ReadFile(dir_ / "stub.exe");
  for (const Case& c : cases) {
    RunResult r = RunZtpack(c.args);
    EXPECT_NE(r.exitCode, 0) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(Listing(dir_), before) << c.args;
  }
  EXPECT_EQ(testutil::ReadFile(dir_ / "stub.exe"), stub);
  EXPECT_EQ(testutil::ReadFile(dir_ / "overlay.exe"), overlay.Build());
}

TEST_F(ContainerCommands, SectionInPlaceReplacesTheSection) {
  for (const char* data : {"load.bin", "type.txt"}) {
    RunResult r =
        RunZtpack(std::string("section --type TYPE --data ") + P(data) + " " + P("stub.exe"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  RunResult r = RunZtpack("inspect --json " + P("stub.exe"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  nlohmann::json report = nlohmann::json::parse(r.out);
  EXPECT_EQ(report["pe"]["sections"].size(), 3u) << "replaced, not doubled";
  EXPECT_EQ(report["chains"]["section"]["attachments"].size(), 1u);
  EXPECT_EQ(report["chains"]["section"]["attachments"][0]["size"], 3);
  EXPECT_EQ(report["size"], 0x3200);
}

}  // namespace
