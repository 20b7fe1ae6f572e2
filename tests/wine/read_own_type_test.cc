// The Windows build under Wine: a test program reads the TYPE attachment that `ztpack section`
// wrote into its own .ZTBNDL section, and its trace lines reach the debugger channel exactly
// while the registry switch (64-bit view) holds "!Tracelog!" as REG_SZ.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "testutil/temp_dir.h"
#include "testutil/wine.h"

namespace {

namespace fs = std::filesystem;

using testutil::WindowsBuildDir;

const char kTraceLine[] = "read_own_type: reading TYPE with 42/00001a2c\n";

std::vector<testutil::DebugText> TraceLines(const testutil::WineRunResult& run) {
  std::vector<testutil::DebugText> lines;
  for (const auto& d : run.debug) {
    if (d.text.rfind("[T ", 0) == 0) lines.push_back(d);
  }
  return lines;
}

class ReadOwnTypeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = fs::path(WindowsBuildDir()) / "tests" / "read_own_type.exe";
    ASSERT_EQ(testutil::MissingWindowsPrograms({"tests/read_own_type.exe"}), "");
    wine_ = &testutil::Wine::Get();
    ASSERT_TRUE(wine_->ok()) << wine_->error();
    fs::copy_file(source_, dir_ / "plain.exe");
    fs::copy_file(source_, dir_ / "typed.exe");
    testutil::WriteFile(dir_ / "type.txt", "gui");
    testutil::RunResult pack =
        testutil::RunProcess({ZT_ZTPACK, "section", "--type", "TYPE", "--data",
                              (dir_ / "type.txt").string(), (dir_ / "typed.exe").string()});
    ASSERT_EQ(pack.exitCode, 0) << pack.out << pack.err;
  }
  void TearDown() override {
    if (wine_ != nullptr) wine_->ClearTraceSwitch();
  }

  testutil::WineRunResult Run(const std::string& exe) {
    testutil::WineRunResult run = wine_->Run((dir_ / exe).string());
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut) << run.err;
    return run;
  }

  fs::path source_;
  testutil::TempDir dir_;
  const testutil::Wine* wine_ = nullptr;
};

TEST_F(ReadOwnTypeTest, PrintsItsTypeAttachmentAndTracesWithThePrefixWhenSwitchedOn) {
  ASSERT_TRUE(wine_->SetTraceSwitch());
  testutil::WineRunResult run = Run("typed.exe");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.outText(), "gui");

  std::vector<testutil::DebugText> lines = TraceLines(run);
  ASSERT_FALSE(lines.empty()) << run.err;
  // The program's own line comes first, formatted by the MinGW C99 printf (%s, %d, %08x).
  const testutil::DebugText& first = lines.front();
  ASSERT_TRUE(std::regex_match(first.text, std::regex(R"(\[T [0-9a-f]{8}\] [\s\S]*)")))
      << first.text;
  EXPECT_EQ(first.text.substr(13), kTraceLine);
  // The prefix carries the id of the thread that wrote the line.
  EXPECT_EQ(std::strtoul(first.text.substr(3, 8).c_str(), nullptr, 16), first.threadId);
  for (const auto& line : lines) EXPECT_FALSE(line.truncated) << line.text;
}

TEST_F(ReadOwnTypeTest, ProgramWithoutSectionFindsNoTypeAndSaysSo) {
  ASSERT_TRUE(wine_->SetTraceSwitch());
  testutil::WineRunResult run = Run("plain.exe");
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_EQ(run.outText(), "");
  std::vector<testutil::DebugText> lines = TraceLines(run);
  ASSERT_FALSE(lines.empty()) << run.err;
  EXPECT_EQ(lines.front().text.substr(13), kTraceLine);
}

struct SwitchCase {
  const char* name;
  std::vector<std::string> regAdd;  // empty: the key is absent
  bool traceOn;
};

// Names the case in test listings (ctest shows the parameter).
void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

class TraceSwitchTest : public ReadOwnTypeTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(TraceSwitchTest, TraceLinesAppearOnlyForTheExactValue) {
  const SwitchCase& c = GetParam();
  ASSERT_TRUE(wine_->ClearTraceSwitch());
  if (!c.regAdd.empty()) {
    std::vector<std::string> args = {"add", testutil::Wine::kSwitchKey, "/v", "ZTSTR", "/f"};
    args.insert(args.end(), c.regAdd.begin(), c.regAdd.end());
    std::string output;
    ASSERT_TRUE(wine_->Reg(args, &output)) << output;
  }
  testutil::WineRunResult run = Run("typed.exe");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.outText(), "gui");
  std::vector<testutil::DebugText> lines = TraceLines(run);
  if (c.traceOn) {
    ASSERT_FALSE(lines.empty()) << run.err;
    EXPECT_EQ(lines.front().text.substr(13), kTraceLine);
  } else {
    EXPECT_TRUE(lines.empty()) << lines.front().text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Registry, TraceSwitchTest,
    ::testing::Values(
        SwitchCase{"KeyAbsent", {}, false},
        SwitchCase{"ExactText", {"/t", "REG_SZ", "/d", "!Tracelog!", "/reg:64"}, true},
        SwitchCase{"OtherLetterCase", {"/t", "REG_SZ", "/d", "!TraceLog!", "/reg:64"}, false},
        SwitchCase{"TrailingBlank", {"/t", "REG_SZ", "/d", "!Tracelog! ", "/reg:64"}, false},
        SwitchCase{"ExpandString", {"/t", "REG_EXPAND_SZ", "/d", "!Tracelog!", "/reg:64"}, false},
        SwitchCase{"Dword", {"/t", "REG_DWORD", "/d", "1", "/reg:64"}, false},
        // The switch is read from the 64-bit view only: a 32-bit process would see the 32-bit
        // view unless it asked, a 64-bit one never sees it.
        SwitchCase{"Only32BitView", {"/t", "REG_SZ", "/d", "!Tracelog!", "/reg:32"}, false}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return info.param.name; });

}  // namespace
