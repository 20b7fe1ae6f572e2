// The installation worker and the entry sequence, run whole on POSIX against installers made by
// our own writers (see installer_fixture.h).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "installer_fixture.h"
#include "platform/platform.h"
#include "testutil/command_tails.h"
#include "worker.h"

namespace worker_test {
namespace {

using testutil::Sha1Hex;

const std::map<std::string, std::string> kEntries = {
    {"a", "alpha\n"}, {"b", "bravo bytes"}, {"c", std::string("c\0c", 3)}};

// One whole run per case: which files the directives put into the workspace, and whether the
// setup program was started.
struct ScriptCase {
  const char* name;
  std::string mode;
  std::string script;
  bool wow64;
  int major;
  std::map<std::string, std::string> expectFiles;  // "./path" -> entry name
  bool expectSetupRan;
  const char* expectTrace;  // a part of the trace, or null
};

class ScriptTest : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptTest, AppliesTheSelectedDirectives) {
  SKIP_WITHOUT_DEV_KEYS();
  const ScriptCase& c = GetParam();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.mode = c.mode;
  recipe.script = c.script;
  recipe.entries = kEntries;
  std::string installer = MakeInstaller(tmp, recipe);
  RunOutcome run = RunInstaller(tmp, installer, u"", c.wow64, c.major);

  // The stand-in setup program exits with 0; a run that never starts it says why.
  const bool refused = c.expectTrace != nullptr && std::strstr(c.expectTrace, "refused") != nullptr;
  EXPECT_EQ(run.exitCode, c.expectSetupRan ? 0
                          : refused        ? int{installer::kTargetRefused}
                                           : int{installer::kEntryNotExtracted});
  EXPECT_EQ(run.report.ran, c.expectSetupRan) << run.trace;
  std::map<std::string, std::string> expected;
  for (const auto& [path, entry] : c.expectFiles) expected[path] = Sha1Hex(kEntries.at(entry));
  if (c.expectSetupRan) {
    EXPECT_EQ(run.report.files, expected) << run.trace;
  }
  if (c.expectTrace != nullptr) {
    EXPECT_NE(run.trace.find(c.expectTrace), std::string::npos) << run.trace;
  }
  EXPECT_TRUE(LeftOver(tmp).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Directives, ScriptTest,
    ::testing::Values(
        ScriptCase{"EmptyScriptStillRunsSetup", "silent", "", false, 10, {}, true, nullptr},
        ScriptCase{"ModeMarkerRequired",
                   "silent",
                   "dep-silent,a,one\ndep,b,two\ndep-x86,b,three\n",
                   false,
                   10,
                   {{"./one", "a"}},
                   true,
                   nullptr},
        ScriptCase{"X86GuiOn32Bit",
                   "gui",
                   "dep-x86-gui,a,x86.txt\n",
                   false,
                   10,
                   {{"./x86.txt", "a"}},
                   true,
                   nullptr},
        ScriptCase{"X86GuiOn64Bit",
                   "gui",
                   "dep-x86-gui,a,x86.txt\ndep-x64-gui,b,x64.txt\n",
                   true,
                   10,
                   {{"./x64.txt", "b"}},
                   true,
                   nullptr},
        ScriptCase{"VersionMarkers",
                   "silent",
                   "dep-w6+-silent,a,new.txt\ndep-w<6-silent,b,old.txt\n",
                   false,
                   5,
                   {{"./old.txt", "b"}},
                   true,
                   nullptr},
        ScriptCase{"BothArchitecturesNeverApply",
                   "silent",
                   "dep-x86-x64-silent,a,never\n",
                   true,
                   10,
                   {},
                   true,
                   nullptr},
        ScriptCase{"ConditionMustStartWithDep",
                   "silent",
                   "xdep-silent,a,one\nDEP-silent,a,two\n dep-silent,b,three\n",
                   false,
                   10,
                   {{"./three", "b"}},
                   true,
                   nullptr},
        ScriptCase{"IndentedCommentAndCarriageReturns",
                   "silent",
                   "   # dep-silent,a,commented\r\n\t\r\ndep-silent,a,kept\r\n",
                   false,
                   10,
                   {{"./kept", "a"}},
                   true,
                   nullptr},
        ScriptCase{"ModeMarkerFoundInLongerWord",
                   "gui",
                   "dep-guidance,c,c.bin\n",
                   false,
                   10,
                   {{"./c.bin", "c"}},
                   true,
                   nullptr},
        ScriptCase{"ByteOrderMarkAndTrailingNonAscii",
                   "silent",
                   "\xEF\xBB\xBF"
                   "dep-silent,a,bom\ndep-silent,b,caf\xC3\xA9\n",
                   false,
                   10,
                   {{"./bom", "a"}, {"./caf", "b"}},
                   true,
                   nullptr},
        ScriptCase{"NestedBackslashTargetsCreateDirectories",
                   "silent",
                   "dep-silent,a,d1\\d2\\f.txt\n",
                   false,
                   10,
                   {{"./d1/d2/f.txt", "a"}},
                   true,
                   nullptr},
        ScriptCase{"ForwardSlashTargetsGetNoDirectories",
                   "silent",
                   "dep-silent,a,e1/e2/f.txt\n",
                   false,
                   10,
                   {},
                   false,
                   nullptr},
        ScriptCase{"FewerThanThreeFieldsSkipped",
                   "silent",
                   "dep-silent,a\ndep-silent,b,b.txt\n",
                   false,
                   10,
                   {{"./b.txt", "b"}},
                   true,
                   "0: directive has 2 fields, needs 3: skipped"},
        ScriptCase{"MissingEntryFailsTheRun",
                   "silent",
                   "dep-silent,nothere,x\n",
                   false,
                   10,
                   {},
                   false,
                   nullptr},
        ScriptCase{"ParentComponentRefused",
                   "silent",
                   "dep-silent,a,..\\escaped\n",
                   false,
                   10,
                   {},
                   false,
                   "0: target ..\\escaped refused: \"..\" component"},
        ScriptCase{"DeepParentComponentRefused",
                   "silent",
                   "dep-silent,a,d\\..\\..\\escaped\n",
                   false,
                   10,
                   {},
                   false,
                   "refused: \"..\" component"},
        ScriptCase{"DotsAndSpacesComponentRefused",
                   "silent",
                   "dep-silent,a,.. \\escaped\n",
                   false,
                   10,
                   {},
                   false,
                   "refused: \"..\" component"},
        ScriptCase{"AbsoluteTargetRefused",
                   "silent",
                   "dep-silent,a,/tmp/escaped\n",
                   false,
                   10,
                   {},
                   false,
                   "refused: absolute or UNC path"},
        ScriptCase{"UncTargetRefused",
                   "silent",
                   "dep-silent,a,\\\\server\\share\\x\n",
                   false,
                   10,
                   {},
                   false,
                   "refused: absolute or UNC path"},
        ScriptCase{"DriveTargetRefused",
                   "silent",
                   "dep-silent,a,C:escaped\n",
                   false,
                   10,
                   {},
                   false,
                   "refused: drive prefix or alternate data stream"},
        ScriptCase{"StreamTargetRefused",
                   "silent",
                   "dep-silent,a,a.txt:hidden\n",
                   false,
                   10,
                   {},
                   false,
                   "refused: drive prefix or alternate data stream"},
        ScriptCase{"RefusalStopsLaterDirectives",
                   "silent",
                   "dep-silent,a,first\ndep-silent,a,..\\x\ndep-silent,b,late\n",
                   false,
                   10,
                   {},
                   false,
                   "1: target ..\\x refused"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Worker, EscapingTargetLeavesNothingOutsideTheWorkspace) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.script = "dep-silent,a,..\\escaped\n";
  recipe.entries = kEntries;
  RunOutcome run = RunInstaller(tmp, MakeInstaller(tmp, recipe), u"");
  EXPECT_FALSE(std::filesystem::exists(tmp / "workspaces" / "escaped"));
  EXPECT_TRUE(LeftOver(tmp).empty());
}

// Reasons the setup program never runs, each with its own exit code (and in ScriptTest and
// Faults: a missing entry, a full disk, a setup program that does not start).
struct FailureCase {
  const char* name;
  InstallerRecipe recipe;
  const char* expectTrace;
  bool expectBox;  // the message box text on standard error
  uint32_t expectExit;
  bool noWorkspace = false;  // elevated, with a file where the system's temporary directory is
};

class FailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, SetupNotStartedAndWorkspaceGone) {
  SKIP_WITHOUT_DEV_KEYS();
  const FailureCase& c = GetParam();
  testutil::TempDir tmp;
  InstallerRecipe recipe = c.recipe;
  recipe.entries = kEntries;
  const std::string installer = MakeInstaller(tmp, recipe);
  if (c.noWorkspace) {
    testutil::WriteFile(tmp / "not-a-directory", "");
    ::setenv("ZT_FAKE_ELEVATED", "1", 1);
    ::setenv("ZT_SYSTEM_TEMP", (tmp / "not-a-directory").c_str(), 1);
  }
  RunOutcome run = RunInstaller(tmp, installer, u"");
  ::unsetenv("ZT_FAKE_ELEVATED");
  ::unsetenv("ZT_SYSTEM_TEMP");
  EXPECT_EQ(static_cast<uint32_t>(run.exitCode), c.expectExit) << run.trace;
  EXPECT_FALSE(run.report.ran);
  EXPECT_TRUE(LeftOver(tmp).empty());
  if (c.expectTrace != nullptr) {
    EXPECT_NE(run.trace.find(c.expectTrace), std::string::npos) << run.trace;
  }
  EXPECT_EQ(run.stderrText.find("Error: Installer file is corrupted.") != std::string::npos,
            c.expectBox)
      << run.stderrText;
}

InstallerRecipe Recipe(std::string mode, bool tamperBundle, bool tamperSetup, bool withScript) {
  InstallerRecipe recipe;
  recipe.mode = std::move(mode);
  recipe.script = "dep-silent,a,a\ndep-gui,a,a\n";
  recipe.tamperBundle = tamperBundle;
  recipe.tamperSetup = tamperSetup;
  recipe.withScript = withScript;
  return recipe;
}

InstallerRecipe Script(std::string script) {
  InstallerRecipe recipe;
  recipe.script = std::move(script);
  return recipe;
}

InstallerRecipe Without(bool load, bool bundle) {
  InstallerRecipe recipe;
  recipe.withLoad = !load;
  recipe.withBundle = !bundle;
  return recipe;
}

// Half of a real collision as the setup program, signed by a signer without detection.
InstallerRecipe CollidingSetup(std::string mode) {
  InstallerRecipe recipe = Recipe(std::move(mode), false, false, true);
  recipe.setupPath = ZT_SHATTERED_PDF;
  recipe.testOnlySigner = true;
  return recipe;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FailureTest,
    ::testing::Values(
        FailureCase{"NoWorkspace", Script(""), "Could not create a new workspace under ", false,
                    installer::kNoWorkspace, true},
        FailureCase{"NoSetupProgram", Without(true, false),
                    "Going to extract file: LOAD\nFound attachment: TYPE\nNot found!\n", false,
                    installer::kSetupNotExtracted},
        FailureCase{"NoBundle", Without(false, true),
                    "Going to extract file: IBND\nFound attachment: _SG2\nNot found!\n", false,
                    installer::kBundleNotExtracted},
        FailureCase{"TamperedBundle", Recipe("silent", true, false, true), nullptr, false,
                    installer::kBundleInvalid},
        FailureCase{"NoInstallScript", Recipe("silent", false, false, false), nullptr, false,
                    installer::kBundleInvalid},
        FailureCase{"TargetOverTheSetupProgram", Script("dep-silent,a,.\\Setup.EXE\n"),
                    "0: target .\\Setup.EXE refused: names the setup program or the bundle\n",
                    false, installer::kTargetRefused},
        FailureCase{"TargetIsADevice", Script("dep-silent,a,logs\\lpt1.txt\n"),
                    "0: target logs\\lpt1.txt refused: device name\n", false,
                    installer::kTargetRefused},
        FailureCase{"TamperedSetupSilent", Recipe("silent", false, true, true),
                    "\n##installer file is not valid!", false, installer::kSetupSignatureInvalid},
        FailureCase{"TamperedSetupGui", Recipe("gui", false, true, true),
                    "\n##installer file is not valid!", true, installer::kSetupSignatureInvalid},
        FailureCase{"CollidingSetupGui", CollidingSetup("gui"),
                    "SHA-1 collision attack detected in block at 0x100 in ", true,
                    installer::kSetupSignatureInvalid}),
    [](const auto& info) { return std::string(info.param.name); });

// The run mode comes from TYPE, trimmed at its end only.
struct ModeCase {
  const char* name;
  bool withType;
  std::string type;
  int expectExit;
  std::string expectMode;  // the "Type is" text's mode; unused when refused
  bool expectGui;          // "iccRes" written
};

class ModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeTest, ReadsTheRunModeFromType) {
  SKIP_WITHOUT_DEV_KEYS();
  const ModeCase& c = GetParam();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.withType = c.withType;
  recipe.mode = c.type;
  recipe.script = "";
  RunOutcome run = RunInstaller(tmp, MakeInstaller(tmp, recipe), u"");
  EXPECT_EQ(run.exitCode, c.expectExit);
  EXPECT_TRUE(LeftOver(tmp).empty());
  if (c.expectExit == 1) {
    EXPECT_FALSE(run.report.ran);
    return;
  }
  EXPECT_TRUE(run.report.ran);
  std::vector<std::string> direct;
  for (const std::string& t : run.debug) {
    if (t.rfind("[T ", 0) != 0 && t.rfind("Progress ", 0) != 0) direct.push_back(t);
  }
  ASSERT_FALSE(direct.empty());
  EXPECT_EQ(direct[0], "Type is " + c.expectMode + "\n");
  EXPECT_EQ(direct.size() > 1 && direct[1].rfind("iccRes ", 0) == 0, c.expectGui);
  if (c.expectGui) {
    ASSERT_EQ(direct.size(), 4u);
    EXPECT_EQ(direct[2].rfind("dlg is ", 0), 0u);
    EXPECT_EQ(direct[3].rfind("hwndProgress is ", 0), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeTest,
    ::testing::Values(ModeCase{"NoTypeRefused", false, "", 1, "", false},
                      ModeCase{"GuiWithLineEnd", true, "gui\r\n", 0, "gui", true},
                      ModeCase{"CapitalsRunSilently", true, "GUI", 0, "GUI", false},
                      ModeCase{"OnlyLineEndTrimsToEmpty", true, "\n", 0, "", false},
                      ModeCase{"LeadingBlankNotTrimmed", true, " gui", 0, " gui", false},
                      ModeCase{"TrailingHighBytesTrimmed", true, "gui\xC2\xA0", 0, "gui", true}),
    [](const auto& info) { return std::string(info.param.name); });

// The setup program's own exit code is the installer's, in either run mode, with or without the
// worker thread. A POSIX process exits with 8 bits, so 3010 arrives here as 194; the Wine tests
// see all 32.
TEST(Worker, TheSetupProgramsExitCodeIsTheInstallers) {
  SKIP_WITHOUT_DEV_KEYS();
  struct Case {
    const char* mode;
    const char* setupExit;
    bool noThread;
    int expected;
  } cases[] = {
      {"silent", "0", false, 0}, {"silent", "5", false, 5},  {"silent", "3010", false, 194},
      {"gui", "5", false, 5},    {"gui", "3010", true, 194},
  };
  for (const Case& c : cases) {
    testutil::TempDir tmp;
    InstallerRecipe recipe;
    recipe.mode = c.mode;
    const std::string installer = MakeInstaller(tmp, recipe);
    ::setenv("ZT_SETUP_EXIT", c.setupExit, 1);
    if (c.noThread) ::setenv("ZT_FAKE_NO_THREAD", "1", 1);
    RunOutcome run = RunInstaller(tmp, installer, u"");
    ::unsetenv("ZT_SETUP_EXIT");
    ::unsetenv("ZT_FAKE_NO_THREAD");
    EXPECT_TRUE(run.report.ran) << c.mode << " " << c.setupExit;
    EXPECT_EQ(run.exitCode, c.expected) << c.mode << " " << c.setupExit;
    EXPECT_TRUE(LeftOver(tmp).empty());
  }
}

// The installer's file is replaced once the run mode has been read from it (renamed away, and
// another installer renamed into its place, as the same user can do while an elevated run goes
// on): the setup program and its bundle still come from the file that was started.
TEST(Worker, ReplacedInstallerFileDoesNotChangeWhatRuns) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp, otherDir;
  InstallerRecipe started;
  started.script = "dep-silent,a,payload\n";
  started.entries = kEntries;
  InstallerRecipe other = started;
  other.script = "dep-silent,b,payload\n";
  const std::string installer = MakeInstaller(tmp, started);
  const std::string replacement = MakeInstaller(otherDir, other);
  bool swapped = false;
  RunOutcome run = RunInstaller(tmp, installer, u"", false, 10, [&](const std::string& text) {
    if (swapped || text.rfind("Type is ", 0) != 0) return;
    swapped = true;
    std::filesystem::rename(installer, tmp / "renamed-away.exe");
    std::filesystem::rename(replacement, installer);
  });
  ASSERT_TRUE(swapped);
  ASSERT_TRUE(run.report.ran) << run.trace;
  EXPECT_EQ(run.report.files,
            (std::map<std::string, std::string>{{"./payload", Sha1Hex(kEntries.at("a"))}}));
}

// The progress values over one run: 0 up to below 50 (LOAD), 50 up to below 75 (IBND), 85, then
// 85 + 15i/n for each of the n script lines.
TEST(Worker, ProgressValuesFollowTheRun) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.script = "# one\ndep-silent,a,a\n\ndep-silent,b,b\n#\ndep-gui,c,c\nx\n";
  recipe.entries = kEntries;
  RunOutcome run = RunInstaller(tmp, MakeInstaller(tmp, recipe), u"");
  std::vector<int> values;
  for (const std::string& t : run.debug) {
    if (t.rfind("Progress ", 0) == 0) values.push_back(std::atoi(t.c_str() + 9));
  }
  size_t i = 0;
  ASSERT_LT(i, values.size());
  EXPECT_EQ(values[i], 0);
  for (; i < values.size() && values[i] < 50; ++i) EXPECT_GE(values[i], 0);
  ASSERT_LT(i, values.size());
  EXPECT_EQ(values[i], 50);
  for (; i < values.size() && values[i] < 75; ++i) EXPECT_GE(values[i], 50);
  std::vector<int> tail(values.begin() + static_cast<long>(i), values.end());
  EXPECT_EQ(tail, (std::vector<int>{85, 85, 87, 89, 91, 93, 95, 97}));
}

// The command line of the setup program, from the trace and from what the program received
// after the Windows splitting rules.
TEST(Worker, SetupCommandLineFromTheArguments) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  const std::string installer = MakeInstaller(tmp, recipe);
  RunOutcome run =
      RunInstaller(tmp, installer, u"plain \"with space\" \"\" back\\slash \"C:\\My Dir\\\\\"");
  ASSERT_TRUE(run.report.ran) << run.trace;
  const std::string workspace = run.report.cwd;
  EXPECT_EQ(workspace.rfind((tmp / "workspaces" / "ITMPD_").string(), 0), 0u) << workspace;
  // The workspace path is made with backslashes; the trace shows it as built.
  const std::string built = (tmp / "workspaces").string() + "\\" +
                            std::filesystem::path(workspace).filename().string() + "\\";
  EXPECT_NE(run.trace.find("setup.exe: \"" + built + "setup.exe\" plain \"with space\" \"\" " +
                           "back\\slash \"C:\\My Dir\\\\\" \"" + installer + "\"\n"),
            std::string::npos)
      << run.trace;
  // The empty argument keeps its place, and the trailing backslash does not swallow the rest.
  EXPECT_EQ(run.report.args, (std::vector<std::string>{"plain", "with space", "", "back\\slash",
                                                       "C:\\My Dir\\", installer}));
}

TEST(Worker, NoArgumentsPassesTheOwnPathTwice) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  const std::string installer = MakeInstaller(tmp, recipe);
  RunOutcome run = RunInstaller(tmp, installer, u"");
  ASSERT_TRUE(run.report.ran);
  // The own path of the argument list is the running program's (here the test binary).
  const std::string self = support::WideToUtf8(platform::OwnExecutablePath());
  EXPECT_EQ(run.report.args, (std::vector<std::string>{self, installer}));
}

// The workspace is swapped while the run goes on: renamed away, and a link to a directory of the
// user's put in its place (the bundle has just opened). The worker stops before it verifies the
// setup program, nothing runs, and the clean-up neither enters the link nor deletes what it
// points to.
TEST(Worker, SwappedWorkspaceStopsTheRunAndIsNotFollowed) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.script = "dep-silent,a,a\n";
  recipe.entries = kEntries;
  const std::string installer = MakeInstaller(tmp, recipe);
  const std::filesystem::path decoy = tmp / "decoy";
  std::filesystem::create_directories(decoy);
  testutil::WriteFile(decoy / "keep.txt", "mine");
  std::filesystem::path swapped;
  RunOutcome run = RunInstaller(tmp, installer, u"", false, 10, [&](const std::string& text) {
    if (text != "Progress 85%" || !swapped.empty()) return;
    for (const auto& e : std::filesystem::directory_iterator(tmp / "workspaces"))
      swapped = e.path();
    std::filesystem::rename(swapped, tmp / "moved");
    std::filesystem::create_directory_symlink(decoy, swapped);
  });
  ASSERT_FALSE(swapped.empty());
  EXPECT_FALSE(run.report.ran);
  EXPECT_NE(
      run.trace.find("no longer names the directory made; stopped before verifying setup.exe\n"),
      std::string::npos)
      << run.trace;
  EXPECT_NE(run.trace.find("left alone"), std::string::npos) << run.trace;
  EXPECT_EQ(testutil::ReadFile(decoy / "keep.txt"), "mine");
  EXPECT_TRUE(std::filesystem::is_symlink(swapped));
}

// Without a worker thread the worker runs on the main thread: the progress dialog is destroyed
// first, since nothing would pump its messages while the setup program runs.
TEST(Worker, WithoutAThreadTheDialogGoesFirst) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir tmp;
  InstallerRecipe recipe;
  recipe.mode = "gui";
  recipe.script = "dep-gui,a,a\n";
  recipe.entries = kEntries;
  const std::string installer = MakeInstaller(tmp, recipe);
  ::setenv("ZT_FAKE_NO_THREAD", "1", 1);
  int dialogsDuringRun = 0;
  RunOutcome run = RunInstaller(tmp, installer, u"", false, 10, [&](const std::string& text) {
    if (text.rfind("Progress ", 0) == 0) dialogsDuringRun += platform::LiveProgressDialogs();
  });
  ::unsetenv("ZT_FAKE_NO_THREAD");
  EXPECT_TRUE(run.report.ran) << run.trace;
  EXPECT_EQ(dialogsDuringRun, 0);
  EXPECT_EQ(platform::LiveProgressDialogs(), 0);
  EXPECT_NE(run.trace.find("No worker thread: running without the progress window\n"),
            std::string::npos);
  EXPECT_TRUE(LeftOver(tmp).empty());
}

// ---------------------------------------------------------------------------------------------
// The pieces, as tables.

TEST(BuildSetupCommandLine, QuotesArgumentsSoThatTheySplitBack) {
  struct Case {
    std::vector<std::u16string> args;
    std::u16string expected;
  } cases[] = {
      // Ordinary arguments stay byte for byte as they are.
      {{}, u"\"W\\setup.exe\" \"O\""},
      {{u"a", u"c:\\d\\", u"/q"}, u"\"W\\setup.exe\" a c:\\d\\ /q \"O\""},
      {{u"a b"}, u"\"W\\setup.exe\" \"a b\" \"O\""},
      // A trailing backslash inside quotes is doubled so that it does not escape the quote.
      {{u"C:\\My Dir\\", u"x"}, u"\"W\\setup.exe\" \"C:\\My Dir\\\\\" x \"O\""},
      {{u""}, u"\"W\\setup.exe\" \"\" \"O\""},
      {{u"q\"x"}, u"\"W\\setup.exe\" \"q\\\"x\" \"O\""},
      {{u"tab\there"}, u"\"W\\setup.exe\" \"tab\there\" \"O\""},
      {{u"a\\\"b c"}, u"\"W\\setup.exe\" \"a\\\\\\\"b c\" \"O\""},
  };
  for (const Case& c : cases) {
    const std::u16string line = installer::BuildSetupCommandLine(u"W\\", c.args, u"O");
    EXPECT_EQ(support::WideToUtf8(line), support::WideToUtf8(c.expected));
    // Whatever the arguments, the setup program reads back exactly them, between its own
    // path and the installer's.
    std::vector<std::u16string> expected = {u"W\\setup.exe"};
    expected.insert(expected.end(), c.args.begin(), c.args.end());
    expected.push_back(u"O");
    EXPECT_EQ(platform::SplitCommandLine(line), expected) << support::WideToUtf8(line);
  }
}

TEST(SplitCommandLine, SplitsAsWindowsDoes) {
  for (const testutil::CommandTailCase& c : testutil::CommandTailCases()) {
    EXPECT_EQ(platform::SplitCommandLine(c.tail), c.arguments) << support::WideToUtf8(c.tail);
  }
  EXPECT_EQ(platform::SplitCommandLine(u""),
            std::vector<std::u16string>{platform::OwnExecutablePath()});
}

// Any argument after the first comes back as it was given; so does a first one without quotes.
TEST(JoinCommandTail, SplitsBackIntoTheSameArguments) {
  std::vector<std::vector<std::u16string>> cases = {
      {u"a"},
      {u"a b", u"c"},
      {u"first", u"", u"x\"y", u"back\\", u"back\\\"q", u"tab\tx", u"c:\\dir with space\\"},
      {u"", u"second"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(platform::SplitCommandLine(installer::JoinCommandTail(args)), args);
  }
  // A first argument with a quote is split as a program name, as under Wine: the native
  // `installer 'x "y' '' 'p q'` gives the setup program what the Windows one gives it.
  EXPECT_EQ(platform::SplitCommandLine(installer::JoinCommandTail({u"x \"y", u"", u"p q"})),
            (std::vector<std::u16string>{u"x \\", u"y \"", u"p q"}));
}

}  // namespace
}  // namespace worker_test
