// ztpack for release engineers: the install script checks, and verify, extract and inspect of a
// finished installer, held against what the front end itself does with the same installer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "author/attachment_writer.h"
#include "author/pe_image.h"
#include "os/progress.h"
#include "read/attachment_chain.h"
#include "read/script_check.h"
#include "support/workspace.h"
#include "testutil/process.h"
#include "verify/setup_signature.h"
#include "worker/installer_fixture.h"
#include "zt_version.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;
using testutil::RunZtpack;
using worker_test::InstallerRecipe;

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

// ---- The script check, one table: each finding as "E3 text" / "W0 text" (E/W, line). ----

struct ScriptCheckCase {
  const char* name;
  std::string script;
  std::vector<std::string> entries;  // besides install_script
  std::vector<std::string> modes;
  std::vector<std::string> expect;  // prefix "E<line> " or "W<line> ", then a part of the text
  std::vector<int> failsOn;         // platforms the first finding fails the installer on
};

class ScriptCheckTest : public ::testing::TestWithParam<ScriptCheckCase> {};

TEST_P(ScriptCheckTest, FindsWhatTheInstallerWouldDoDifferently) {
  const ScriptCheckCase& c = GetParam();
  // Read back through a bundle, as the installer reads it.
  testutil::TempDir dir;
  testutil::WriteFile(dir / "script", c.script);
  auto lines = ztpack::ReadScriptFileAsInstaller((dir / "script").string());
  ASSERT_TRUE(lines.ok()) << lines.error();
  std::vector<std::string> names = {"install_script"};
  names.insert(names.end(), c.entries.begin(), c.entries.end());
  ztpack::ScriptCheck check = ztpack::CheckScript(*lines, names, c.modes);
  ASSERT_EQ(check.findings.size(), c.expect.size()) << [&] {
    std::string all;
    for (const auto& l : ztpack::DescribeFindings(check)) all += l + "\n";
    return all;
  }();
  for (size_t i = 0; i < c.expect.size(); ++i) {
    const ztpack::ScriptFinding& f = check.findings[i];
    const std::string& e = c.expect[i];
    size_t space = e.find(' ');
    EXPECT_EQ(f.error, e[0] == 'E') << e;
    EXPECT_EQ(f.line, std::stoi(e.substr(1, space - 1))) << e;
    EXPECT_NE(f.text.find(e.substr(space + 1)), std::string::npos) << f.text;
  }
  if (!c.expect.empty()) {
    EXPECT_EQ(check.findings[0].failsOn, c.failsOn);
  }
}

const std::vector<std::string> kSilent = {"silent"};

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptCheckTest,
    ::testing::Values(
        ScriptCheckCase{"Clean",
                        "# c\n\n  # indented\ndep-silent,a,a\ndep-x64-silent,b,d\\b\n",
                        {"a", "b"},
                        kSilent,
                        {},
                        {}},
        ScriptCheckCase{"DotDot",
                        "dep-silent,a,..\\x\n",
                        {"a"},
                        kSilent,
                        {"E1 \"..\" component", "W0 \"a\""},
                        {0, 1, 2, 3}},
        ScriptCheckCase{"Drive",
                        "#\ndep-silent,a,C:\\x\n",
                        {"a"},
                        kSilent,
                        {"E2 drive prefix", "W0 \"a\""},
                        {0, 1, 2, 3}},
        ScriptCheckCase{"Stream",
                        "dep-silent,a,a:b\n",
                        {"a"},
                        kSilent,
                        {"E1 alternate data", "W0 \"a\""},
                        {0, 1, 2, 3}},
        ScriptCheckCase{"Absolute",
                        "dep-silent-w<6,a,\\x\n",
                        {"a"},
                        kSilent,
                        {"E1 absolute", "W0 \"a\""},
                        {2, 3}},
        ScriptCheckCase{"DeviceName",
                        "dep-silent,a,docs\\con.txt\n",
                        {"a"},
                        kSilent,
                        {"E1 device name", "W0 \"a\""},
                        {0, 1, 2, 3}},
        ScriptCheckCase{"MissingOnX86Only",
                        "dep-x86-silent,nope,x\ndep-silent,a,a\n",
                        {"a"},
                        kSilent,
                        {"E1 \"nope\" is not in the bundle"},
                        {0, 2}},
        ScriptCheckCase{
            "TwoFields", "dep-silent,a\ndep-silent,a,a\n", {"a"}, kSilent, {"E1 2 field(s)"}, {}},
        ScriptCheckCase{"TrailingBlank",
                        "dep-silent,a,a \xc2\xa0\n",
                        {"a"},
                        kSilent,
                        {"W1 drops \"\\x20\\xc2\\xa0\" at its end"},
                        {}},
        ScriptCheckCase{"ContradictoryMarkers",
                        "dep-x86-x64-silent,a,a\n",
                        {"a"},
                        kSilent,
                        {"W1 selects this line on no platform", "W0 1 entry no selected"},
                        {}},
        ScriptCheckCase{
            "OtherMode", "dep-gui,a,a\n", {"a"}, kSilent, {"W1 run mode silent", "W0 \"a\""}, {}},
        ScriptCheckCase{"EitherMode", "dep-gui,a,a\n", {"a"}, {"gui", "silent"}, {}, {}},
        ScriptCheckCase{"NotDep",
                        "Dep-silent,a,a\n",
                        {"a"},
                        kSilent,
                        {"W1 selects this line on no platform", "W0 \"a\""},
                        {}},
        ScriptCheckCase{"LongLine",
                        std::string(2047, '#') + "x\ndep-silent,a,a\n",
                        {"a"},
                        kSilent,
                        {"W1 longer than 2047 bytes", "E1 1 field(s)"},
                        {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A target is refused when no workspace could hold it, and draws a warning when a long one
// could not: the two lengths assumed are those of the workspace names the front end makes.
TEST(ScriptCheck, TargetLengthsAgainstTheShortestAndALongWorkspace) {
  EXPECT_EQ((u"C:\\Windows\\Temp\\" + support::WorkspaceName(0, 1000000000, 0) + u"\\").size(),
            ztpack::kShortestWorkspacePath);
  EXPECT_EQ((u"C:\\Users\\" + std::u16string(20, u'u') + u"\\AppData\\Local\\Temp\\" +
             support::WorkspaceName(4294967295u, 9999999999, 2147483647) + u"\\")
                .size(),
            ztpack::kLongWorkspacePath);
  const size_t kShort = ztpack::kShortestWorkspacePath, kLong = ztpack::kLongWorkspacePath;
  struct Case {
    size_t workspace;  // the length the whole path or directory below is counted with
    bool directory;    // the length is the directory's, not the whole path's
    size_t length;
    char expect;                  // 0: no finding, 'W' a warning, 'E' an error
    std::string character = "f";  // what the target is made of
  } cases[] = {
      {kShort, false, 258, 'W'},
      {kShort, false, 259, 'W'},
      {kShort, false, 260, 'E'},
      {kShort, true, 246, 'W'},
      {kShort, true, 247, 'W'},
      {kShort, true, 248, 'E'},
      {kLong, false, 258, 0},
      {kLong, false, 259, 0},
      {kLong, false, 260, 'W'},
      {kLong, true, 246, 0},
      {kLong, true, 247, 0},
      {kLong, true, 248, 'W'},
      // Characters are counted, not UTF-8 bytes.
      {kShort, false, 259, 'W', "\xC3\xA9"},
      {kLong, false, 259, 0, "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    // Ends in "f": the installer's trim would drop trailing bytes 0x80-0xFF.
    std::string target;
    for (size_t i = 0; i < c.length - c.workspace - (c.directory ? 0 : 1); ++i)
      target += c.character;
    target += c.directory ? "\\f" : "f";
    ztpack::ScriptCheck check =
        ztpack::CheckScript({"dep-silent,a," + target + "\n"}, {"install_script", "a"}, kSilent);
    const std::string what =
        std::to_string(c.workspace) + (c.directory ? " dir " : " path ") + std::to_string(c.length);
    if (c.expect == 0) {
      EXPECT_TRUE(check.findings.empty()) << what << ": " << check.findings[0].text;
      continue;
    }
    // A refused target leaves its entry unused: a second finding says so.
    ASSERT_EQ(check.findings.size(), c.expect == 'E' ? 2u : 1u) << what;
    const ztpack::ScriptFinding& f = check.findings[0];
    EXPECT_EQ(f.error, c.expect == 'E') << what;
    // Below the long workspace a directory at the limit makes the whole path too long as well.
    if (c.expect == 'E' || c.workspace == kLong) {
      EXPECT_NE(f.text.find(c.directory ? "directory longer than 247" : "path longer than 259"),
                std::string::npos)
          << what << ": " << f.text;
    }
    EXPECT_NE(f.text.find(c.expect == 'E' ? "C:\\Windows\\Temp\\ITMPD_0_1000000000_0\\"
                                          : "C:\\Users\\<20 characters>"),
              std::string::npos)
        << f.text;
  }
}

TEST(ScriptCheck, EntriesPastThe256thAndExpiry) {
  std::vector<std::string> names = {"install_script"};
  std::string script;
  for (int i = 0; i < 300; ++i) {
    names.push_back("e" + std::to_string(i));
    script = "dep-silent,e0,x\n";
  }
  ztpack::ScriptCheck check = ztpack::CheckScript({script}, names, kSilent);
  ztpack::CheckExpiry(1000, 2000, &check);
  ztpack::CheckExpiry(3000, 2000, &check);  // still ahead: nothing
  ztpack::CheckExpiry(0, 2000, &check);     // none: nothing
  ASSERT_EQ(check.findings.size(), 3u);
  EXPECT_NE(check.findings[0].text.find("299 entries no selected directive uses: \"e1\""),
            std::string::npos);
  EXPECT_NE(check.findings[1].text.find("45 entries lie past the 256th"), std::string::npos)
      << check.findings[1].text;
  EXPECT_NE(check.findings[1].text.find("\"e255\""), std::string::npos);
  EXPECT_NE(check.findings[2].text.find("1970-01-01 00:16:40 UTC has passed"), std::string::npos);
}

TEST(Progress, FormatsBytesFilesRateAndTimeLeft) {
  EXPECT_EQ(ztpack::FormatProgress("make", 0, 10 << 20, 0, 0, 0), "make: 0.0 of 10.0 MiB");
  EXPECT_EQ(ztpack::FormatProgress("extract", 5 << 20, 10 << 20, 2, 7, 2.0),
            "extract: 5.0 of 10.0 MiB, 2 of 7 files, 2.5 MiB/s, 0:02 left");
  EXPECT_EQ(ztpack::FormatProgress("x", 1 << 20, 601 << 20, 0, 0, 1.0),
            "x: 1.0 of 601.0 MiB, 1.0 MiB/s, 10:00 left");
}

// ---- verify against the front end: what verify says == what the installer does. ----

const std::map<std::string, std::string> kEntries = {
    {"a", "alpha\n"}, {"b32", "thirty-two"}, {"b64", "sixty-four"}, {"old", "legacy"}};
const char* kScript =
    "# release script\n"
    "dep-silent-gui,a,a.txt\n"
    "dep-x86-silent-gui,b32,bin\\tool.cfg\n"
    "dep-x64-silent-gui,b64,bin\\tool.cfg\n"
    "dep-w<6-silent-gui,old,docs\\legacy.txt\n";

enum class Tamper { kNone, kLoadDigest, kType };

struct VerifyCase {
  const char* name;
  InstallerRecipe recipe;
  Tamper tamper;
  const char* failedCheck;  // the check verify names as failed, or null
};

InstallerRecipe Recipe(std::string script, bool tamperBundle = false, bool tamperSetup = false) {
  InstallerRecipe r;
  r.script = std::move(script);
  r.entries = kEntries;
  r.tamperBundle = tamperBundle;
  r.tamperSetup = tamperSetup;
  return r;
}

class VerifyTest : public ::testing::TestWithParam<VerifyCase> {};

// What verify reports as not reached after the first check that failed, when that check stops
// the installer: an install script that does not read stops it, one with findings does not.
void ExpectNotReachedAfterFirstFailure(const nlohmann::json& report) {
  static const std::map<std::string, std::vector<std::string>> kNotReachedAfter = {
      {"setup program",
       {"bundle attachment", "bundle", "bundle binding", "install script", "entries",
        "setup signature"}},
      {"bundle attachment", {"bundle", "bundle binding", "install script", "entries"}},
      {"bundle", {"bundle binding", "install script", "entries"}},
      {"bundle binding", {"install script", "entries"}},
      {"install script, unread", {"entries"}},
  };
  std::string failed;
  std::vector<std::string> notReached;
  for (const auto& check : report["checks"]) {
    if (check["status"] == "failed" && failed.empty()) {
      failed = check["check"];
      const std::string detail = check["detail"];
      if (failed == "install script" && detail.find(" lines, ") == std::string::npos) {
        failed += ", unread";
      }
    }
    if (check["status"] == "not reached") notReached.push_back(check["check"]);
  }
  auto it = kNotReachedAfter.find(failed);
  EXPECT_EQ(notReached, it == kNotReachedAfter.end() ? std::vector<std::string>{} : it->second)
      << failed << "\n"
      << report.dump(1);
}

TEST_P(VerifyTest, SaysWhatTheFrontEndDoesOnEachPlatform) {
  SKIP_WITHOUT_DEV_KEYS();
  const VerifyCase& c = GetParam();
  testutil::TempDir dir;
  std::string installer = worker_test::MakeInstaller(dir, c.recipe);
  if (c.tamper != Tamper::kNone) {
    auto image = ztpack::ReadPeImage(installer);
    ASSERT_TRUE(image.ok());
    auto chain = ztpack::WalkAttachmentChain(installer, image->lastSectionEnd(), false);
    ASSERT_TRUE(chain.ok());
    const ztpack::ChainEntry* e =
        ztpack::FindInChain(*chain, c.tamper == Tamper::kType ? "TYPE" : "LOAD");
    ASSERT_NE(e, nullptr);
    std::string bytes = testutil::ReadFile(installer);
    if (c.tamper == Tamper::kType) {
      bytes.replace(e->footerOffset + 20, 4, "TYPX");  // no TYPE any more
    } else {
      bytes[e->dataOffset + e->size / 2] ^= 0x10;
    }
    testutil::WriteFile(installer, bytes);
  }
  RunResult v = RunZtpack("verify --json " + Q(installer));
  nlohmann::json report = nlohmann::json::parse(v.out, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << v.out << v.err;
  EXPECT_EQ(report["kind"], "installer");
  std::string failed;
  std::vector<std::string> steps;
  for (const auto& check : report["checks"]) {
    if (check["status"] == "failed" && failed.empty()) failed = check["check"];
    steps.push_back(check["check"]);
  }
  EXPECT_EQ(failed, c.failedCheck ? c.failedCheck : "") << report.dump(1);
  ExpectNotReachedAfterFirstFailure(report);
  // Every step has its line, in the installer's order, whether it passed, failed or was not
  // reached after a failure.
  steps.resize(std::min<size_t>(steps.size(), 10));
  EXPECT_EQ(steps, (std::vector<std::string>{"keys", "run mode", "identity", "setup program",
                                             "bundle attachment", "bundle", "bundle binding",
                                             "install script", "entries", "setup signature"}))
      << report.dump(1);

  // The front end on each platform: the setup program runs exactly where verify says it does.
  ASSERT_EQ(report["platforms"].size(), 4u);
  bool all = true;
  for (const auto& p : report["platforms"]) {
    const std::string label = p["platform"];
    testutil::TempDir tmp;
    worker_test::RunOutcome run =
        worker_test::RunInstaller(tmp, installer, u"", label.rfind("x64", 0) == 0,
                                  label.find("6+") != std::string::npos ? 10 : 5);
    EXPECT_EQ(p["runs_setup"].get<bool>(), run.report.ran) << label << "\n" << report.dump(1);
    all &= run.report.ran;
  }
  EXPECT_EQ(v.exitCode, all ? 0 : 1) << v.out;
  EXPECT_EQ(report["passed"], all);
}

INSTANTIATE_TEST_SUITE_P(
    Layers, VerifyTest,
    ::testing::Values(
        VerifyCase{"Good", Recipe(kScript), Tamper::kNone, nullptr},
        VerifyCase{"NoType", Recipe(kScript), Tamper::kType, "run mode"},
        VerifyCase{"LoadDigest", Recipe(kScript), Tamper::kLoadDigest, "setup program"},
        VerifyCase{"TamperedBundle", Recipe(kScript, true), Tamper::kNone, "bundle"},
        VerifyCase{"TamperedSetup", Recipe(kScript, false, true), Tamper::kNone, "setup signature"},
        VerifyCase{"RefusedTargetOnOldWindows",
                   Recipe(std::string(kScript) + "dep-w<6-silent,a,..\\evil\n"), Tamper::kNone,
                   "install script"},
        // Too long below any workspace: verify says so, and the front end refuses it.
        VerifyCase{"TargetTooLongForAnyWorkspace",
                   Recipe(std::string(kScript) + "dep-silent,a," + std::string(223, 'p') + "\n"),
                   Tamper::kNone, "install script"},
        VerifyCase{"MissingEntryOnX64", Recipe(std::string(kScript) + "dep-x64-silent,zz,z\n"),
                   Tamper::kNone, "install script"},
        VerifyCase{"NoScript",
                   [] {
                     InstallerRecipe r = Recipe("");
                     r.withScript = false;
                     return r;
                   }(),
                   Tamper::kNone, "install script"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- extract --install gives, per platform, what the front end puts into its workspace. ----

std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) {
      files["./" + fs::relative(e.path(), root).generic_string()] = testutil::ReadFile(e.path());
    }
  }
  return files;
}

TEST(Extract, InstallMatchesTheFrontEndOnEveryPlatform) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  const std::string installer = worker_test::MakeInstaller(dir, Recipe(kScript));
  for (bool x64 : {false, true}) {
    for (int major : {5, 10}) {
      const std::string tag = std::string(x64 ? "x64-" : "x86-") + std::to_string(major);
      RunResult r = RunZtpack("extract --install --platform " + std::string(x64 ? "x64" : "x86") +
                              " --windows-major " + std::to_string(major) + " " + Q(installer) +
                              " --out " + Q(dir / tag));
      ASSERT_EQ(r.exitCode, 0) << r.err;
      testutil::TempDir tmp;
      worker_test::RunOutcome run = worker_test::RunInstaller(tmp, installer, u"", x64, major);
      ASSERT_TRUE(run.report.ran) << tag;
      std::map<std::string, std::string> extracted = Tree(dir / tag);
      std::map<std::string, std::string> hashes;
      for (const auto& [path, content] : extracted) {
        hashes[path] = testutil::Sha1Hex(content);
      }
      EXPECT_EQ(hashes, run.report.files) << tag;
      EXPECT_EQ(extracted["./bin/tool.cfg"], x64 ? "sixty-four" : "thirty-two") << tag;
    }
  }
}

TEST(Extract, SetupProgramEntriesAndRefusals) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  const std::string installer = worker_test::MakeInstaller(dir, Recipe(kScript));
  RunResult r = RunZtpack("extract --setup " + Q(installer) + " --out " + Q(dir / "s"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(testutil::ReadFile(dir / "s" / "setup.exe"), testutil::ReadFile(dir / "setup.signed"));

  // A setup program alone carries no keys: the root key is given.
  r = RunZtpack("extract " + Q(dir / "s" / "setup.exe") +
                " --root-key " ZT_DEV_KEYS_DIR "/root.der --out " + Q(dir / "e"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(testutil::ReadFile(dir / "e" / "b64"), "sixty-four");
  EXPECT_EQ(Tree(dir / "e").size(), kEntries.size() + 1);

  // A target directory in use, a target the installer refuses: nothing written anywhere.
  fs::create_directories(dir / "busy");
  testutil::WriteFile(dir / "busy" / "keep", "k");
  r = RunZtpack("extract " + Q(installer) + " --out " + Q(dir / "busy"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("not an empty directory"), std::string::npos) << r.err;
  EXPECT_EQ(Tree(dir / "busy").size(), 1u);

  testutil::TempDir evilDir;
  const std::string evil =
      worker_test::MakeInstaller(evilDir, Recipe("dep-silent,a,a\ndep-silent,b32,..\\..\\x\n"));
  r = RunZtpack("extract --install --platform x86 --windows-major 10 " + Q(evil) + " --out " +
                Q(dir / "v"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("line 2: target \"..\\..\\x\" is refused"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "v"));
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(dir.path())) left.insert(e.path().filename());
  for (const std::string& name : left) EXPECT_EQ(name.find(".partial-"), std::string::npos) << name;
}

// ---- inspect descends from the installer down to the install script. ----

TEST(Inspect, DescendsToTheInstallScript) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  const std::string installer = worker_test::MakeInstaller(dir, Recipe(kScript));
  RunResult r = RunZtpack("inspect --json " + Q(installer));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["kind"], "installer");
  EXPECT_EQ(j["load"]["run_mode"], "silent");
  const nlohmann::json& setup = j["load"]["setup"];
  EXPECT_EQ(setup["kind"], "setup program");
  EXPECT_EQ(setup["signature"]["verified"], true);
  EXPECT_EQ(setup["bundle"]["bundle_signature"], "valid");
  const nlohmann::json& script = setup["bundle"]["install_script"];
  ASSERT_EQ(script["lines"].size(), 5u);
  EXPECT_EQ(script["lines"][2]["selected_on"], nlohmann::json({"x86 Windows 6+", "x86 Windows 5"}));
  EXPECT_EQ(script["findings"].size(), 0u);

  r = RunZtpack("inspect " + Q(installer));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const char* part : {"installer", "setup program (LOAD)", "_SG2", "goal tag IBND",
                           "install script: 5 lines, 4 directives"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
  }
}

// ---- make and build: refusals before anything is written, warnings, exact run modes. ----

struct MakeCase {
  const char* name;
  std::string mode;
  std::string script;
  int exit;
  const char* err;  // part of standard error
};

class MakeChecks : public ::testing::TestWithParam<MakeCase> {};

TEST_P(MakeChecks, RefuseOrWarnBeforeWriting) {
  SKIP_WITHOUT_DEV_KEYS();
  const MakeCase& c = GetParam();
  testutil::TempDir dir;
  testutil::WriteFile(dir / "stub.exe", testutil::KeyedStub());
  testutil::WriteFile(dir / "setup.sh", worker_test::kReportingSetup);
  fs::create_directories(dir / "payload");
  testutil::WriteFile(dir / "payload" / "install_script", c.script);
  testutil::WriteFile(dir / "payload" / "a.txt", "a");
  testutil::WriteFile(dir / "m.toml",
                      "stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = \"" + c.mode +
                          "\"\noutput = \"out/i.exe\"\n[payload]\n"
                          "folder = \"payload\"\n[keys]\ndir = \"" ZT_DEV_KEYS_DIR "\"\n");
  RunResult r = RunZtpack("make -q " + Q(dir / "m.toml"));
  EXPECT_EQ(r.exitCode, c.exit) << r.err;
  EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  EXPECT_EQ(fs::exists(dir / "out" / "i.exe"), c.exit == 0);
  if (c.exit != 0) {
    EXPECT_TRUE(!fs::exists(dir / "out") || fs::is_empty(dir / "out")) << "nothing half-written";
    return;
  }
  RunResult v = RunZtpack("verify -q " + Q(dir / "out" / "i.exe"));
  EXPECT_EQ(v.exitCode, 0) << v.out;
  EXPECT_NE(v.out.find(c.err), std::string::npos) << "verify reports the same finding\n" << v.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MakeChecks,
    ::testing::Values(
        MakeCase{"RefusedTarget", "silent", "dep-silent,a.txt,C:\\a.txt\n", 1,
                 "line 1: target \"C:\\a.txt\" is refused"},
        MakeCase{"MissingEntry", "silent", "dep-silent,b.txt,b.txt\n", 1,
                 "entry \"b.txt\" is not in the bundle"},
        MakeCase{"TwoFields", "silent", "dep-silent,a.txt\n", 1,
                 "1: \"dep-silent,a.txt\" has 2 field(s)"},
        MakeCase{"BlankMode", "silent ", "dep-silent,a.txt,a\n", 1,
                 "\"mode\" must be exactly \"gui\" or \"silent\""},
        MakeCase{"OddMode", "Gui", "dep-gui,a.txt,a\n", 1, "must be exactly"},
        MakeCase{"TrimWarning", "silent", "dep-silent,a.txt,a \n", 0,
                 "warning: install script line 1: the installer's trim changes this line"},
        MakeCase{"NothingSelected", "gui", "dep-silent,a.txt,a\ndep-gui,a.txt,a\n", 0,
                 "line 1: the condition \"dep-silent\" selects this line on no platform"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Build, AcceptsOnlyExactRunModes) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "stub.exe", testutil::KeyedStub());
  testutil::WriteFile(dir / "setup.bin", "s");
  for (const char* mode : {"' gui'", "GUI", "'silent '"}) {
    RunResult r =
        RunZtpack("build --stub " + Q(dir / "stub.exe") + " --setup " + Q(dir / "setup.bin") +
                  " --mode " + mode + " --out " + Q(dir / "i.exe"));
    EXPECT_EQ(r.exitCode, 2) << mode;  // a usage error
    EXPECT_NE(r.err.find("exactly"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "i.exe"));
  }
}

TEST(Help, EveryReleaseSubcommandAndTheVersion) {
  testutil::TempDir dir;
  EXPECT_EQ(RunZtpack("--version").out, "ztpack " ZT_VERSION "\n");
  for (const char* command : {"verify", "extract", "inspect", "make", "bundle", "build"}) {
    RunResult r = RunZtpack(std::string(command) + " --help");
    EXPECT_EQ(r.exitCode, 0) << command;
    EXPECT_NE(r.out.find("--"), std::string::npos) << command;
  }
}

}  // namespace

namespace {

// Every entry given is stored under its own name, also those whose bytes equal an earlier one's
// and that no directive names (the setup program may read them from the bundle itself). Only
// --store-once trades them for size, and says which name now points to which.
TEST(BundleEntries, EveryGivenEntryComesBackUnlessStoredOnce) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  const std::string keys = ZT_DEV_KEYS_DIR;
  ASSERT_EQ(RunZtpack("certify --root-key " + keys + "/root.key --public " + keys +
                      "/bundle.der --goal IBND --out " + Q(dir / "cert.bin"))
                .exitCode,
            0);
  testutil::WriteFile(dir / "install_script", "dep-silent,f0,a\ndep-silent,f1,b\n");
  std::string command = "bundle -q --key " + keys + "/bundle.key --cert " + Q(dir / "cert.bin") +
                        " --script " + Q(dir / "install_script");
  std::map<std::string, std::string> given = {
      {"./install_script", testutil::ReadFile(dir / "install_script")}};
  for (int i = 0; i < 12; ++i) {
    // f4 and f8 repeat f0, f9 repeats f1; no directive names them.
    const std::string name = "f" + std::to_string(i);
    given["./" + name] = std::string(5000, static_cast<char>('a' + (i % 4 == 0 ? 0
                                                                    : i == 9   ? 1
                                                                               : i)));
    testutil::WriteFile(dir / name, given["./" + name]);
    command += " --entry " + name + "=" + Q(dir / name);
  }
  RunResult r = RunZtpack(command + " --out " + Q(dir / "every.ibnd"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(RunZtpack("extract " + Q(dir / "every.ibnd") +
                      " --root-key " ZT_DEV_KEYS_DIR "/root.der --out " + Q(dir / "every"))
                .exitCode,
            0);
  EXPECT_EQ(Tree(dir / "every"), given);

  r = RunZtpack(command + " --store-once --out " + Q(dir / "once.ibnd"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "stored once: \"f4\" now points to \"f0\"\nstored once: \"f8\" now points to \"f0\"\n"
            "stored once: \"f9\" now points to \"f1\"\n"
            "stored once: 3 entries of identical content left out, 15000 bytes\n");
  EXPECT_LT(fs::file_size(dir / "once.ibnd"), fs::file_size(dir / "every.ibnd"));
  // The old spelling of the default is still accepted, but not beside its opposite.
  EXPECT_EQ(RunZtpack(command + " --keep-copies --out " + Q(dir / "keep.ibnd")).exitCode, 0);
  EXPECT_NE(RunZtpack(command + " --keep-copies --store-once --out " + Q(dir / "x.ibnd")).exitCode,
            0);
}

}  // namespace

namespace {

// A setup program bound to bundle A runs with A only, however its unsigned document is edited;
// one without a binding runs with any certified bundle, as before. The front end and verify agree.
struct BindingCase {
  const char* name;
  bool bound;               // signed with --bind-bundle A
  char member;              // the document's "bundle" member: 'k' as signed, '-' none, 'A' or 'B'
  bool forgeSigned;         // the signed _BND rewritten to name B (breaks the setup signature)
  char attached;            // the bundle at the end
  const char* failedCheck;  // null: the setup program runs
};

class BindingTest : public ::testing::TestWithParam<BindingCase> {};

// verify --json and inspect --json print what docs/*.schema.json describe, for an installer, its
// setup program, a setup program without a bundle and a tampered installer, whatever fails.
TEST(JsonSchema, ReportsMatchTheWrittenSchemas) {
  SKIP_WITHOUT_DEV_KEYS();
  if (testutil::Shell("python3 -c 'import jsonschema'").exitCode != 0) {
    GTEST_SKIP() << "python3-jsonschema is not installed";
  }
  testutil::TempDir dir;
  const std::string installer = worker_test::MakeInstaller(dir, Recipe(kScript));
  std::string bytes = testutil::ReadFile(installer);
  bytes[bytes.size() - 200] ^= 0x10;
  testutil::WriteFile(dir / "tampered.exe", bytes);
  ASSERT_EQ(RunZtpack("extract -q --setup " + Q(installer) + " --out " + Q(dir / "x")).exitCode, 0);
  const std::string keys = std::string(" --root-key ") + ZT_DEV_KEYS_DIR +
                           "/root.der --setup-key " + ZT_DEV_KEYS_DIR + "/setup.der";
  testutil::WriteFile(dir / "in.bin", std::string(4000, 'v'));
  ASSERT_EQ(RunZtpack("sign-setup --key " ZT_DEV_KEYS_DIR "/setup.key --in " + Q(dir / "in.bin") +
                      " --out " + Q(dir / "bare.exe"))
                .exitCode,
            0);
  int written = 0;
  std::string files;
  for (const char* command : {"verify", "inspect"}) {
    for (const fs::path& file :
         {fs::path(installer), dir / "x" / "setup.exe", dir / "bare.exe", dir / "tampered.exe"}) {
      RunResult r = RunZtpack(std::string(command) + " --json " + Q(file) + keys);
      const fs::path out = dir / (command + std::to_string(++written) + ".json");
      testutil::WriteFile(out, r.out);
      files += " " + std::string(command) + ":" + Q(out);
    }
  }
  RunResult check = testutil::Shell("cd " + Q(dir.path()) +
                                    " && python3 -c '\n"
                                    "import json, sys, jsonschema\n"
                                    "for arg in sys.argv[1:]:\n"
                                    "  name, path = arg.split(\":\", 1)\n"
                                    "  schema = json.load(open(\"" ZT_SOURCE_DIR
                                    "/docs/\" + name + \".schema.json\"))\n"
                                    "  jsonschema.validate(json.load(open(path)), schema)\n"
                                    "'" +
                                    files);
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  // A setup program without its bundle: what needs the bundle is not reached.
  const nlohmann::json bare = nlohmann::json::parse(testutil::ReadFile(dir / "verify3.json"));
  EXPECT_EQ(bare["checks"][0]["check"], "bundle attachment");
  EXPECT_EQ(bare["checks"][0]["status"], "failed");
  ExpectNotReachedAfterFirstFailure(bare);
}

TEST_P(BindingTest, OnlyTheBoundBundleRuns) {
  SKIP_WITHOUT_DEV_KEYS();
  const BindingCase& c = GetParam();
  const worker_test::DevKeys& keys = worker_test::DevKeys::Get();
  testutil::TempDir dir;
  auto block = ztpack::MakePublicKeyBlock(keys.root, ztpack::PublicKeyDer(keys.bundle), "IBND", 0);
  std::map<char, std::string> bundle, digest = {{'-', ""}};
  for (char name : {'A', 'B'}) {
    bundle[name] = (dir / std::string(1, name)).string();
    ASSERT_TRUE(ztpack::WriteBundle(
                    bundle[name],
                    {{"install_script", "", "dep-silent,a,a\n"}, {"a", "", std::string(9, name)}},
                    keys.bundle, *block, {})
                    .ok());
    digest[name] = ztpack::BundleBindingDigest(bundle[name]).value();
  }
  digest['k'] = c.bound ? digest['A'] : "";
  testutil::WriteFile(dir / "setup.sh", worker_test::kReportingSetup);
  ztpack::SignSetupOptions options;
  options.input = (dir / "setup.sh").string();
  options.output = (dir / "signed").string();
  if (c.bound) options.bindBundle = bundle['A'];
  ASSERT_TRUE(ztpack::SignSetup(keys.setup, options).ok());

  // What follows the signed bytes is rewritten (and, when forging, the binding inside them).
  int32_t documentAt = -1;
  const std::string sign =
      verify::ReadSignatureDocument((dir / "signed").u16string(), &documentAt)["sign"].AsString();
  std::string front = testutil::ReadFile(dir / "signed").substr(0, documentAt);
  if (c.forgeSigned)
    front.replace(front.size() - 68, 68, *ztpack::MakeAttachment("_BND", digest['B']));
  const std::string document =
      "{\"sign\":\"" + sign + "\"" +
      (digest[c.member].empty() ? "" : ",\"bundle\":\"" + digest[c.member] + "\"") + "}";
  testutil::WriteFile(
      dir / "setup.final",
      front + *ztpack::MakeChain({ztpack::AttachmentInput::FromBytes("_SG2", document),
                                  ztpack::AttachmentInput::FromFile("IBND", bundle[c.attached])}));
  fs::permissions(dir / "setup.final", fs::perms::owner_all);
  testutil::WriteFile(dir / "stub.exe", testutil::KeyedStub());
  const std::string installer = (dir / "installer.exe").string();
  // Written by hand: build refuses a setup program whose signature a forgery broke.
  ASSERT_TRUE(ztpack::WriteBundleSection(
                  (dir / "stub.exe").string(), installer,
                  {ztpack::AttachmentInput::FromBytes("TYPE", "silent"),
                   ztpack::AttachmentInput::FromFile("LOAD", (dir / "setup.final").string())})
                  .ok());

  testutil::TempDir tmp;
  worker_test::RunOutcome run = worker_test::RunInstaller(tmp, installer, u"");
  EXPECT_EQ(run.report.ran, c.failedCheck == nullptr) << run.trace;
  RunResult v = RunZtpack("verify --json " + Q(installer));
  const nlohmann::json report = nlohmann::json::parse(v.out);
  std::string failed, detail;
  for (const auto& check : report["checks"]) {
    if (check["status"] == "failed" && failed.empty())
      failed = check["check"], detail = check["detail"];
  }
  EXPECT_EQ(failed, c.failedCheck ? c.failedCheck : "") << v.out;
  EXPECT_EQ(v.exitCode, c.failedCheck == nullptr ? 0 : 1);
  ExpectNotReachedAfterFirstFailure(report);
  if (failed == "bundle binding") {
    // Refused before anything is extracted, naming the bundle and the first binding (the
    // signed one, then the document's) that names another.
    std::string bound = c.bound ? digest['A'] : "";
    if (bound.empty() || bound == digest[c.attached]) bound = digest[c.member];
    const std::string line =
        "Bundle " + digest[c.attached] + " refused: the setup program is bound to bundle " + bound;
    EXPECT_NE(run.trace.find(line + "\n"), std::string::npos) << run.trace;
    EXPECT_EQ(run.trace.find("0: dep-silent"), std::string::npos);
    EXPECT_EQ(detail, line);
    EXPECT_NE(RunZtpack("extract " + Q(installer) + " --out " + Q(dir / "x")).err.find(line),
              std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, BindingTest,
    ::testing::Values(
        BindingCase{"UnboundWithItsBundle", false, 'k', false, 'A', nullptr},
        BindingCase{"UnboundWithAnother", false, 'k', false, 'B', nullptr},
        BindingCase{"UnboundGivenAMemberRefusesAnother", false, 'A', false, 'B', "bundle binding"},
        BindingCase{"BoundWithItsBundle", true, 'k', false, 'A', nullptr},
        BindingCase{"BoundWithAnother", true, 'k', false, 'B', "bundle binding"},
        BindingCase{"MemberStrippedWithItsBundle", true, '-', false, 'A', nullptr},
        BindingCase{"MemberStrippedWithAnother", true, '-', false, 'B', "bundle binding"},
        BindingCase{"MemberAlteredWithAnother", true, 'B', false, 'B', "bundle binding"},
        BindingCase{"MemberAlteredWithItsBundle", true, 'B', false, 'A', "bundle binding"},
        BindingCase{"SignedBindingForgedWithAnother", true, 'B', true, 'B', "setup signature"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// The 64-bit front end runs only on 64-bit Windows: verify speaks for x64 only, and extract
// refuses to replay it on x86.
TEST(Stub64, OnlyX64Platforms) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  testutil::PeFixture stub;
  stub.pe64 = true;
  testutil::WriteFile(dir / "stub64.exe",
                      testutil::KeyedStub(verify::PlacedRootKey(), verify::PlacedSetupKey(), stub));
  InstallerRecipe recipe = Recipe(kScript);
  recipe.stubPath = (dir / "stub64.exe").string();
  const std::string installer = worker_test::MakeInstaller(dir, recipe);
  RunResult v = RunZtpack("verify --json " + Q(installer));
  nlohmann::json report = nlohmann::json::parse(v.out);
  ASSERT_EQ(report["platforms"].size(), 2u) << v.out;
  EXPECT_EQ(report["platforms"][0]["platform"], "x64 Windows 6+");
  EXPECT_EQ(report["platforms"][1]["platform"], "x64 Windows 5");
  EXPECT_EQ(v.exitCode, 0);
  RunResult r = RunZtpack("extract --install --platform x86 --windows-major 10 " + Q(installer) +
                          " --out " + Q(dir / "x86"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("runs only on x64 Windows"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "x86"));
}

}  // namespace

namespace {

// `bundle` runs the same checks as `make`: a refusal writes nothing, a warning still writes.
TEST(BundleChecks, RefuseBeforeWritingWarnAndWrite) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  const std::string keys = ZT_DEV_KEYS_DIR;
  RunResult c = RunZtpack("certify --root-key " + keys + "/root.key --public " + keys +
                          "/bundle.der --goal IBND --out " + Q(dir / "cert.bin"));
  ASSERT_EQ(c.exitCode, 0) << c.err;
  testutil::WriteFile(dir / "a.txt", "a");
  const std::string common = " --entry a=" + Q(dir / "a.txt") + " --key " + keys +
                             "/bundle.key --cert " + Q(dir / "cert.bin") + " -q --out " +
                             Q(dir / "b.ibnd");
  testutil::WriteFile(dir / "bad", "dep-silent,a,a\ndep-gui,missing,m\n");
  RunResult r = RunZtpack("bundle --script " + Q(dir / "bad") + common);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("line 2: entry \"missing\" is not in the bundle"), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "b.ibnd"));
  // Checked for the silent run mode only, the gui line selects nothing: a warning.
  r = RunZtpack("bundle --mode silent --script " + Q(dir / "bad") + common);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("warning: install script line 2: the condition \"dep-gui\" selects"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(fs::exists(dir / "b.ibnd"));
}

}  // namespace
