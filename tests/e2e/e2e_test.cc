// The real InstallerLogic.exe under Wine, with tests/windows/report_setup.exe as its setup
// program: silent runs headless, "gui" runs under a private Xvfb server with screenshots.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testutil/wine.h"
#include "worker.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;
using worker_test::InstallerRecipe;

using testutil::WindowsBuildDir;
fs::path Stub() { return fs::path(WindowsBuildDir()) / "InstallerLogic.exe"; }
fs::path ReportSetup() { return fs::path(WindowsBuildDir()) / "tests" / "report_setup.exe"; }
fs::path Probe() { return fs::path(WindowsBuildDir()) / "tests" / "platform_probe.exe"; }

// Wine's exit status, seen from Linux, keeps the low byte of the Windows exit code; the front
// end's own codes differ there too. E2eExitCode sees the whole codes.
int LowByte(uint32_t code) { return static_cast<int>(code & 0xFF); }

std::string WindowsPath(const fs::path& path) {
  std::string p = "Z:" + path.string();
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
}

#define REQUIRE_WINDOWS_BUILD() \
  SKIP_WITHOUT_DEV_KEYS();      \
  ASSERT_EQ(testutil::MissingWindowsPrograms({"InstallerLogic.exe", "tests/report_setup.exe"}), "")

// Workspaces left in the prefix. Wine gives the front end an elevated token, so they are made
// in the system's temporary directory; the users' own are looked at as well, so that a
// workspace made there counts too.
std::vector<std::string> Workspaces() {
  std::vector<std::string> found;
  std::error_code ec;
  const fs::path drive = fs::path(testutil::Wine::Get().prefix()) / "drive_c";
  std::vector<fs::path> bases = {drive / "windows" / "temp"};
  for (const auto& user : fs::directory_iterator(drive / "users", ec)) {
    bases.push_back(user.path() / "Temp");
  }
  for (const fs::path& base : bases) {
    for (const auto& e : fs::directory_iterator(base, ec)) {
      if (e.path().filename().string().rfind("ITMPD_", 0) == 0) found.push_back(e.path());
    }
  }
  return found;
}

using testutil::Sha1Hex;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (size_t i = 0; i + 4 <= n; i += 4) {
    uint32_t v = gen();
    std::memcpy(&out[i], &v, 4);
  }
  return out;
}

class E2e : public ::testing::Test {
 protected:
  void SetUp() override {
    // A machine where Wine cannot start fails here, with the same message as the wine.* tests.
    const testutil::Wine& wine = testutil::Wine::Get();
    ASSERT_TRUE(wine.ok()) << wine.error();
    for (const std::string& w : Workspaces()) fs::remove_all(w);
  }

  InstallerRecipe Recipe(const std::string& mode) {
    InstallerRecipe recipe;
    recipe.mode = mode;
    recipe.stubPath = Stub().string();
    recipe.setupPath = ReportSetup().string();
    recipe.entries = {{"readme", "read me\r\n"},
                      {"lib64", "64-bit library"},
                      {"lib32", "32-bit library"},
                      {"new", "version 6 and later"},
                      {"old", "before version 6"}};
    recipe.script =
        "dep-silent-gui,readme,readme.txt\n"
        "dep-x64-silent-gui,lib64,bin\\x64\\lib.dll\n"
        "dep-x86-silent-gui,lib32,bin\\x86\\lib.dll\n"
        "dep-w6+-silent-gui,new,sys\\new.txt\n"
        "dep-w<6-silent-gui,old,sys\\old.txt\n";
    return recipe;
  }

  testutil::WineRunResult Run(const std::string& installer, const std::vector<std::string>& args,
                              const std::string& display = "") {
    testutil::RunOptions options;
    options.env = {{"ZT_REPORT", WindowsPath(dir_ / "report.json")}};
    return testutil::Wine::Get().Run(installer, args, options, display);
  }

  nlohmann::json Report() {
    std::string text = testutil::ReadFile(dir_ / "report.json");
    return text.empty() ? nlohmann::json() : nlohmann::json::parse(text);
  }

  testutil::TempDir dir_;
};

TEST_F(E2e, SilentRunPassesArgumentsAndUnpacksTheSelectedFiles) {
  REQUIRE_WINDOWS_BUILD();
  InstallerRecipe recipe = Recipe("silent");
  // A file of several chunks: the Windows build inflates them on two threads.
  recipe.entries["data"] = RandomBytes((5u << 20) + 12345, 9);
  recipe.script += "dep-silent,data,data\\blob.bin\n";
  const std::string installer = worker_test::MakeInstaller(dir_, recipe);
  testutil::WineRunResult run =
      Run(installer, {"with space", "", "q\"x", "back\\slash", "C:\\My Dir\\"});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  nlohmann::json report = Report();
  ASSERT_FALSE(report.is_null()) << run.err;
  const std::string cwd = report["currentDirectory"];
  // Elevated (as Wine runs it), the workspace is in the system's temporary directory.
  std::string lower = cwd;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(lower.find(":\\windows\\temp\\itmpd_"), std::string::npos) << cwd;
  EXPECT_EQ(report["commandLine"], "\"" + cwd + "\\setup.exe\" \"with space\" \"\" \"q\\\"x\" " +
                                       "back\\slash \"C:\\My Dir\\\\\" \"" +
                                       WindowsPath(installer) + "\"");
  // The setup program reads back every argument in its place, then the installer's path.
  const std::vector<std::string> arguments = report["arguments"];
  EXPECT_EQ(arguments,
            (std::vector<std::string>{cwd + "\\setup.exe", "with space", "", "q\"x", "back\\slash",
                                      "C:\\My Dir\\", WindowsPath(installer)}));
  std::map<std::string, std::string> files;
  for (const auto& f : report["files"]) files[f["path"]] = f["sha1"];
  files.erase("setup.exe");
  files.erase("ibnd");
  // Wine is 64-bit Windows of version 6 or later to either build (the 32-bit one under WOW64):
  // the -x64 directive applied and the -x86 one did not.
  std::map<std::string, std::string> expected = {
      {"readme.txt", Sha1Hex(recipe.entries["readme"])},
      {"bin\\x64\\lib.dll", Sha1Hex(recipe.entries["lib64"])},
      {"sys\\new.txt", Sha1Hex(recipe.entries["new"])},
      {"data\\blob.bin", Sha1Hex(recipe.entries["data"])}};
  EXPECT_EQ(files, expected);
  EXPECT_TRUE(Workspaces().empty());
}

TEST_F(E2e, WithoutArgumentsTheOwnPathComesTwice) {
  REQUIRE_WINDOWS_BUILD();
  const std::string installer = worker_test::MakeInstaller(dir_, Recipe("silent"));
  testutil::WineRunResult run = Run(installer, {});
  nlohmann::json report = Report();
  ASSERT_FALSE(report.is_null()) << run.err;
  const std::vector<std::string> args = report["arguments"];
  ASSERT_EQ(args.size(), 3u);
  EXPECT_EQ(args[1], args[2]);
  EXPECT_EQ(args[2], WindowsPath(installer));
}

// Failures: the setup program is not started, the workspace is gone, the exit code names the
// cause, and with the registry switch on the trace names it too.
struct FailureCase {
  const char* name;
  void (*change)(InstallerRecipe*);
  const char* expectTrace;
  uint32_t expectExit;
};

class E2eFailure : public E2e, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(E2eFailure, SetupNotStarted) {
  REQUIRE_WINDOWS_BUILD();
  const FailureCase& c = GetParam();
  InstallerRecipe recipe = Recipe("silent");
  c.change(&recipe);
  const std::string installer = worker_test::MakeInstaller(dir_, recipe);
  ASSERT_TRUE(testutil::Wine::Get().SetTraceSwitch());
  testutil::WineRunResult run = Run(installer, {});
  testutil::Wine::Get().ClearTraceSwitch();
  EXPECT_EQ(run.exitCode, LowByte(c.expectExit)) << run.err;
  EXPECT_TRUE(Report().is_null());
  EXPECT_TRUE(Workspaces().empty());
  std::string trace;
  for (const std::string& t : run.debugTexts()) trace += t;
  EXPECT_NE(trace.find(c.expectTrace), std::string::npos) << trace;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, E2eFailure,
    ::testing::Values(
        FailureCase{"NoSetupProgram", [](InstallerRecipe* s) { s->withLoad = false; },
                    "Going to extract file: LOAD\n", installer::kSetupNotExtracted},
        FailureCase{"NoBundle", [](InstallerRecipe* s) { s->withBundle = false; },
                    "Going to extract file: IBND\n", installer::kBundleNotExtracted},
        FailureCase{"TamperedBundle", [](InstallerRecipe* s) { s->tamperBundle = true; },
                    "Digital signature is invalid!", installer::kBundleInvalid},
        FailureCase{"TamperedSetup", [](InstallerRecipe* s) { s->tamperSetup = true; },
                    "##installer file is not valid!", installer::kSetupSignatureInvalid},
        // Half of a real collision as the setup program, signed by a signer without detection.
        FailureCase{"CollidingSetup",
                    [](InstallerRecipe* s) {
                      s->setupPath = ZT_SHATTERED_PDF;
                      s->testOnlySigner = true;
                    },
                    "SHA-1 collision attack detected in block at 0x100 in ",
                    installer::kSetupSignatureInvalid},
        FailureCase{"NoInstallScript", [](InstallerRecipe* s) { s->withScript = false; },
                    "The bundle has no install_script", installer::kBundleInvalid},
        FailureCase{"MissingEntry",
                    [](InstallerRecipe* s) { s->script = "dep-silent,absent,absent.txt\n"; },
                    "0: dep-silent,absent,absent.txt", installer::kEntryNotExtracted},
        FailureCase{"EscapingTarget",
                    [](InstallerRecipe* s) { s->script = "dep-silent,readme,..\\..\\out.txt\n"; },
                    "refused: \"..\" component", installer::kTargetRefused},
        FailureCase{"DeviceTarget",
                    [](InstallerRecipe* s) { s->script = "dep-silent,readme,logs\\Lpt1.txt\n"; },
                    "0: target logs\\Lpt1.txt refused: device name\n", installer::kTargetRefused},
        FailureCase{
            "EmptyKeyPlace",
            [](InstallerRecipe* s) {
              s->stubPath =
                  (fs::path(testutil::WindowsBuildDir()) / "InstallerLogic-shipping.exe").string();
              s->byHand = true;
            },
            "No keys in the installer's key place", installer::kNoKeysPlaced},
        FailureCase{"SetupNotAProgram",
                    [](InstallerRecipe* s) { s->setupPath = ZT_SOURCE_DIR "/README.md"; },
                    "setup.exe could not be started\n", installer::kSetupNotStarted}),
    [](const auto& info) { return std::string(info.param.name); });

// The disk fills while an entry is written: a 4 MiB tmpfs over the prefix's system temporary
// directory, where the elevated front end makes its workspace. The run fails, the trace names
// the entry, and neither the workspace nor a partial file stays.
TEST_F(E2e, DiskFullWhileExtracting) {
  REQUIRE_WINDOWS_BUILD();
  const fs::path temp = fs::path(testutil::Wine::Get().prefix()) / "drive_c" / "windows" / "temp";
  fs::create_directories(temp);
  if (::mount("tmpfs", temp.c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs on " << temp << " (needs root): " << std::strerror(errno);
  }
  InstallerRecipe recipe = Recipe("silent");
  recipe.entries["big"] = std::string(8u << 20, '\0');
  recipe.script = "dep-silent,readme,readme.txt\ndep-silent,big,big.bin\n";
  const std::string installer = worker_test::MakeInstaller(dir_, recipe);
  ASSERT_TRUE(testutil::Wine::Get().SetTraceSwitch());
  testutil::WineRunResult run = Run(installer, {});
  testutil::Wine::Get().ClearTraceSwitch();
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(temp)) left.push_back(e.path().filename().string());
  ::umount(temp.c_str());
  EXPECT_EQ(run.exitCode, LowByte(installer::kEntryNotExtracted));
  EXPECT_TRUE(Report().is_null());
  std::string trace;
  for (const std::string& t : run.debugTexts()) trace += t;
  EXPECT_NE(trace.find("1: extracting big to big.bin failed\n"), std::string::npos) << trace;
  for (const std::string& name : left) EXPECT_NE(name.rfind("ITMPD_", 0), 0u) << name;
}

// A process that the setup program leaves behind holds one of the extracted files open, sharing
// nothing, for two seconds after the setup program has ended (as a scanner or a helper would).
// The installer still ends as after any run, deletes the workspace again until the file is let
// go, and leaves nothing behind.
TEST_F(E2e, FileHeldOpenByAnotherProcessOnlyDelaysTheCleanUp) {
  REQUIRE_WINDOWS_BUILD();
  const std::string installer = worker_test::MakeInstaller(dir_, Recipe("silent"));
  ASSERT_TRUE(testutil::Wine::Get().SetTraceSwitch());
  testutil::RunOptions options;
  options.env = {{"ZT_REPORT", WindowsPath(dir_ / "report.json")},
                 {"ZT_SETUP_HOLD", "readme.txt*2000"}};
  testutil::WineRunResult run = testutil::Wine::Get().Run(installer, {}, options);
  testutil::Wine::Get().ClearTraceSwitch();
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(Report().is_null());
  std::string trace;
  for (const std::string& t : run.debugTexts()) trace += t;
  size_t deletions = 0;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const std::string tail = "\\readme.txt";
    if (line.find("Delete File ") != std::string::npos && line.size() > tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
      ++deletions;
    }
  }
  EXPECT_GE(deletions, 2u) << trace;
  EXPECT_EQ(trace.find("left behind"), std::string::npos) << trace;
  EXPECT_TRUE(Workspaces().empty());
}

// The whole exit code, as a Windows program that starts the installer sees it: the setup
// program's own (0, 5, a restart request), or the front end's when the setup program never ran.
TEST_F(E2e, ExitCodeIsTheSetupProgramsOrSaysWhyItDidNotRun) {
  REQUIRE_WINDOWS_BUILD();
  ASSERT_EQ(testutil::MissingWindowsPrograms({"tests/platform_probe.exe"}), "");
  const std::string installer = worker_test::MakeInstaller(dir_, Recipe("silent"));
  InstallerRecipe tampered = Recipe("silent");
  tampered.tamperSetup = true;
  testutil::TempDir brokenDir;
  const std::string broken = worker_test::MakeInstaller(brokenDir, tampered);
  struct Case {
    const std::string& installer;
    const char* setupExit;
    uint32_t expected;
  } cases[] = {{installer, "0", 0},
               {installer, "5", 5},
               {installer, "3010", 3010},
               {broken, "0", installer::kSetupSignatureInvalid}};
  for (const Case& c : cases) {
    testutil::RunOptions options;
    options.env = {{"ZT_REPORT", WindowsPath(dir_ / "report.json")},
                   {"ZT_SETUP_EXIT", c.setupExit}};
    testutil::WineRunResult run = testutil::Wine::Get().Run(
        Probe().string(), {"--run", "\"" + WindowsPath(c.installer) + "\""}, options);
    EXPECT_EQ(run.outText(), "exit " + std::to_string(c.expected) + "\n") << run.err;
  }
  EXPECT_TRUE(Workspaces().empty());
}

TEST_F(E2e, WithoutTypeExitsWithOneAndMakesNoWorkspace) {
  REQUIRE_WINDOWS_BUILD();
  InstallerRecipe recipe = Recipe("silent");
  recipe.withType = false;
  testutil::WineRunResult run = Run(worker_test::MakeInstaller(dir_, recipe), {});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Workspaces().empty());
  EXPECT_TRUE(run.debugTexts().empty());
}

TEST_F(E2e, CapitalGuiRunsSilently) {
  REQUIRE_WINDOWS_BUILD();
  testutil::WineRunResult run = Run(worker_test::MakeInstaller(dir_, Recipe("GUI")), {});
  EXPECT_EQ(run.exitCode, 0);
  std::vector<std::string> texts = run.debugTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[0], "Type is GUI\n");
  for (const std::string& t : texts) EXPECT_EQ(t.find("iccRes"), std::string::npos);
  EXPECT_FALSE(Report().is_null());
}

// ---------------------------------------------------------------------------------------------
// gui mode under Xvfb.

constexpr int kScreenWidth = 1024, kScreenHeight = 768;

// The screen as RGB bytes, or empty when it cannot be taken.
std::string Screenshot(const std::string& display, const fs::path& savePng = {}) {
  testutil::RunOptions options;
  options.env = {{"DISPLAY", display}};
  options.timeoutSeconds = 20;
  testutil::RunResult shot =
      testutil::RunProcess({"import", "-window", "root", "-depth", "8", "rgb:-"}, options);
  if (!savePng.empty() && shot.out.size() == size_t{kScreenWidth} * kScreenHeight * 3) {
    testutil::RunProcess({"import", "-window", "root", savePng.string()}, options);
  }
  return shot.out.size() == size_t{kScreenWidth} * kScreenHeight * 3 ? shot.out : std::string();
}

struct WindowSeen {
  bool window = false;   // a light window face around the centre of the black screen
  bool barFill = false;  // bluish fill pixels inside it (the bar's drawn progress)
};

WindowSeen Inspect(const std::string& rgb) {
  WindowSeen seen;
  if (rgb.empty()) return seen;
  auto pixel = [&](int x, int y) {
    size_t at = (size_t{static_cast<size_t>(y)} * kScreenWidth + x) * 3;
    return std::array<int, 3>{static_cast<unsigned char>(rgb[at]),
                              static_cast<unsigned char>(rgb[at + 1]),
                              static_cast<unsigned char>(rgb[at + 2])};
  };
  int light = 0, blue = 0;
  // The window is centred; 138 x 50 dialog units come to roughly 200 x 80 pixels.
  for (int y = kScreenHeight / 2 - 30; y <= kScreenHeight / 2 + 30; ++y) {
    for (int x = kScreenWidth / 2 - 90; x <= kScreenWidth / 2 + 90; ++x) {
      auto p = pixel(x, y);
      if (p[0] > 150 && p[1] > 150 && p[2] > 150) ++light;
      if (p[2] > 100 && p[2] > p[0] + 40) ++blue;
    }
  }
  seen.window = light > 181 * 61 / 2;
  seen.barFill = blue > 20;
  return seen;
}

// Sends Return to the window named `name` once it appears; true when it was found.
bool DismissWindow(const std::string& display, const std::string& name, int seconds) {
  testutil::RunOptions options;
  options.env = {{"DISPLAY", display}};
  options.timeoutSeconds = 10;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
       std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
    testutil::RunResult search =
        testutil::RunProcess({"xdotool", "search", "--name", "^" + name + "$"}, options);
    std::string id = search.out.substr(0, search.out.find('\n'));
    if (search.exitCode != 0 || id.empty()) continue;
    testutil::RunProcess({"xdotool", "windowactivate", "--sync", id}, options);
    testutil::RunProcess({"xdotool", "key", "--window", id, "Return"}, options);
    return true;
  }
  return false;
}

TEST_F(E2e, GuiWindowShowsTheBarWhileUnpackingAndHidesForSetup) {
  REQUIRE_WINDOWS_BUILD();
  testutil::XvfbServer x;
  ASSERT_TRUE(x.ok());
  InstallerRecipe recipe = Recipe("gui\n");
  // A payload large enough that unpacking it takes a few seconds under Wine.
  for (int i = 0; i < 4; ++i) {
    recipe.entries["big" + std::to_string(i)] = RandomBytes(24u << 20, i);
    recipe.script += "dep-gui,big" + std::to_string(i) + ",big\\" + std::to_string(i) + ".bin\n";
  }
  const std::string installer = worker_test::MakeInstaller(dir_, recipe);

  testutil::RunOptions options;
  options.env = {{"ZT_REPORT", WindowsPath(dir_ / "report.json")}, {"ZT_SETUP_SLEEP_MS", "4000"}};
  auto running = std::async(std::launch::async, [&] {
    return testutil::Wine::Get().Run(installer, {}, options, x.display());
  });
  WindowSeen during, afterStart;
  bool sawReport = false, sawAfterStart = false;
  std::chrono::steady_clock::time_point reportSeenAt;
  const char* save = std::getenv("ZT_SAVE_SCREENSHOT");
  while (running.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    const auto shotAt = std::chrono::steady_clock::now();
    bool reported = fs::exists(dir_ / "report.json");
    std::string rgb =
        Screenshot(x.display(),
                   (!during.barFill && save != nullptr && !reported) ? fs::path(save) : fs::path());
    WindowSeen seen = Inspect(rgb);
    if (!reported && seen.window && seen.barFill) during = seen;
    if (reported && !sawReport) {
      sawReport = true;
      reportSeenAt = shotAt;
    }
    // The window is hidden before the setup program starts, but the X server takes the unmap
    // and repaints the screen in its own time, which a loaded machine can stretch: judge by a
    // screenshot taken a second into the setup program's four.
    if (sawReport && !sawAfterStart && shotAt - reportSeenAt > std::chrono::seconds(1)) {
      sawAfterStart = true;
      afterStart = seen;
    }
  }
  testutil::WineRunResult run = running.get();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(during.window && during.barFill) << "no screenshot showed the window with its bar";
  EXPECT_TRUE(sawReport && sawAfterStart);
  EXPECT_FALSE(afterStart.window) << "the window is still shown while the setup program runs";
  EXPECT_TRUE(Workspaces().empty());

  // Progress on the debugger channel: 0 up to below 50, 50 up to below 75, 85, 85 + 15i/n.
  std::vector<std::string> texts = run.debugTexts();
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(texts[0], "Type is gui\n");
  EXPECT_EQ(texts[1].rfind("iccRes 1 le ", 0), 0u) << texts[1];
  EXPECT_EQ(texts[2].rfind("dlg is ", 0), 0u);
  EXPECT_EQ(texts[3].rfind("hwndProgress is ", 0), 0u);
  std::vector<int> values;
  for (const std::string& t : texts) {
    if (t.rfind("Progress ", 0) == 0) values.push_back(std::atoi(t.c_str() + 9));
  }
  size_t i = 0;
  for (; i < values.size() && values[i] < 50; ++i) EXPECT_EQ(values[i], i == 0 ? 0 : values[i]);
  EXPECT_GT(i, 1u) << "the large LOAD copy reports more than its start";
  ASSERT_LT(i, values.size());
  EXPECT_EQ(values[i], 50);
  for (; i < values.size() && values[i] < 75; ++i) {
  }
  std::vector<int> tail(values.begin() + static_cast<long>(i), values.end());
  std::vector<int> expected = {85};
  const int n = 9;  // the script's lines
  for (int k = 0; k < n; ++k) expected.push_back(85 + 15 * k / n);
  EXPECT_EQ(tail, expected);
}

TEST_F(E2e, GuiCorruptedSetupShowsTheMessageBoxOverTheWindow) {
  REQUIRE_WINDOWS_BUILD();
  testutil::XvfbServer x;
  ASSERT_TRUE(x.ok());
  InstallerRecipe recipe = Recipe("gui");
  recipe.tamperSetup = true;
  const std::string installer = worker_test::MakeInstaller(dir_, recipe);
  testutil::RunOptions options;
  options.env = {{"ZT_REPORT", WindowsPath(dir_ / "report.json")}};
  options.timeoutSeconds = 90;
  auto running = std::async(std::launch::async, [&] {
    return testutil::Wine::Get().Run(installer, {}, options, x.display());
  });
  // Which window is on top: the box is owned by the (topmost) progress window, which Wine shows
  // as the box's WM_TRANSIENT_FOR, so it cannot open behind it.
  testutil::RunOptions xOptions;
  xOptions.env = {{"DISPLAY", x.display()}};
  xOptions.timeoutSeconds = 10;
  // Polled until the box is listed above its owner: the window manager sets the owner and
  // restacks a moment after the box is found, later still on a loaded machine.
  std::string boxHex = "?", ownerId = "?", owner, stacking;
  bool above = false;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       !above && std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
    testutil::RunResult search =
        testutil::RunProcess({"xdotool", "search", "--name", "^Error$"}, xOptions);
    if (search.exitCode != 0) continue;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%lx", std::stoul(search.out));
    boxHex = buffer;
    owner = testutil::RunProcess({"xprop", "-id", boxHex, "WM_TRANSIENT_FOR"}, xOptions).out;
    const size_t ownerAt = owner.find("window id # 0x");
    if (ownerAt == std::string::npos) continue;
    ownerId = owner.substr(ownerAt + 12, owner.find_first_of(" \n", ownerAt + 12) - ownerAt - 12);
    // The root's children as xwininfo lists them: the top of the stack first.
    stacking = testutil::RunProcess({"xwininfo", "-root", "-children"}, xOptions).out;
    const size_t ownerLine = stacking.find("     " + ownerId + " ");
    const size_t boxLine = stacking.find("     " + boxHex + " ");
    above = ownerLine != std::string::npos && boxLine != std::string::npos && boxLine < ownerLine;
  }
  EXPECT_NE(owner.find("window id # 0x"), std::string::npos)
      << "the message box has no owner window: " << owner;
  // The box stands above its owner, the progress window.
  EXPECT_TRUE(above) << "box " << boxHex << ", owner " << ownerId << ", stacking:\n" << stacking;
  bool dismissed = DismissWindow(x.display(), "Error", 60);
  // The progress window stays until the worker has ended.
  EXPECT_TRUE(running.wait_for(std::chrono::seconds(60)) == std::future_status::ready);
  testutil::WineRunResult run = running.get();
  EXPECT_TRUE(dismissed) << "no \"Error\" message box appeared; exit " << run.exitCode
                         << ", timed out " << run.timedOut << "\n"
                         << run.err;
  EXPECT_EQ(run.exitCode, LowByte(installer::kSetupSignatureInvalid));
  EXPECT_TRUE(Report().is_null());
  EXPECT_TRUE(Workspaces().empty());
}

}  // namespace
