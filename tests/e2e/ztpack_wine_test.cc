// What `ztpack verify` and `ztpack extract --install` say about an installer, held against the
// real front end running it under Wine (64-bit Windows, version 6 or later, to either build);
// and ztpack.exe, the tool built for Windows, doing the same under Wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "testutil/wine.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::Sha1Hex;

std::string WindowsPath(const fs::path& path) {
  std::string p = "Z:" + path.string();
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
}

// The files below `root` as the front end's report names them: relative path with backslashes
// -> SHA-1.
std::map<std::string, std::string> HashedTree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::string path = fs::relative(e.path(), root).generic_string();
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    files[path] = Sha1Hex(testutil::ReadFile(e.path()));
  }
  return files;
}

// Runs the installer under Wine and returns what its setup program found in the workspace.
std::map<std::string, std::string> InstalledByFrontEnd(const std::string& installer,
                                                       const testutil::TempDir& dir) {
  testutil::RunOptions options;
  options.env = {{"ZT_REPORT", WindowsPath(dir / "report.json")}};
  testutil::WineRunResult run = testutil::Wine::Get().Run(installer, {}, options, "");
  EXPECT_FALSE(run.timedOut);
  const std::string text = testutil::ReadFile(dir / "report.json");
  EXPECT_FALSE(text.empty()) << run.err;
  std::map<std::string, std::string> installed;
  if (text.empty()) return installed;
  const nlohmann::json report = nlohmann::json::parse(text);
  for (const auto& f : report["files"]) installed[f["path"]] = f["sha1"];
  installed.erase("setup.exe");
  installed.erase("ibnd");
  return installed;
}

TEST(ZtpackUnderWine, ExtractInstallMatchesTheFrontEnd) {
  SKIP_WITHOUT_DEV_KEYS();
  ASSERT_EQ(testutil::MissingWindowsPrograms({"InstallerLogic.exe", "tests/report_setup.exe"}), "");
  const testutil::Wine& wine = testutil::Wine::Get();
  ASSERT_TRUE(wine.ok()) << wine.error();
  testutil::TempDir dir;
  worker_test::InstallerRecipe recipe;
  recipe.stubPath = (fs::path(testutil::WindowsBuildDir()) / "InstallerLogic.exe").string();
  recipe.setupPath =
      (fs::path(testutil::WindowsBuildDir()) / "tests" / "report_setup.exe").string();
  recipe.entries = {{"a", "all"},
                    {"b32", "x86 only"},
                    {"b64", "x64 only"},
                    {"new", "6 and later"},
                    {"old", "before 6"}};
  recipe.script =
      "dep-silent,a,a.txt\n"
      "dep-x86-silent,b32,bin\\lib.dll\n"
      "dep-x64-silent,b64,bin\\lib.dll\n"
      "dep-w6+-silent,new,sys\\v.txt\n"
      "dep-w<6-silent,old,sys\\v.txt\n";
  const std::string installer = worker_test::MakeInstaller(dir, recipe);

  testutil::RunResult verify =
      testutil::RunZtpack("verify -q '" + installer + "' --platform x64 --windows-major 10");
  ASSERT_EQ(verify.exitCode, 0) << verify.output();
  testutil::RunResult extract =
      testutil::RunZtpack("extract -q --install --platform x64 --windows-major 10 '" + installer +
                          "' --out '" + (dir / "x").string() + "'");
  ASSERT_EQ(extract.exitCode, 0) << extract.output();
  const std::map<std::string, std::string> extracted = HashedTree(dir / "x");
  EXPECT_EQ(extracted, InstalledByFrontEnd(installer, dir));
  EXPECT_EQ(extracted.at("bin\\lib.dll"), Sha1Hex("x64 only"));
}

// ztpack.exe comes from the 64-bit Windows build only, whichever build this machine's Wine runs.
std::string ZtpackExe() {
  const std::string dir = testutil::WineChoice().is64()
                              ? testutil::WindowsBuildDir()
                              : std::string(ZT_SOURCE_DIR) + "/build/windows64";
  return dir + "/ztpack.exe";
}

// The Windows tool from a manifest of Windows paths (relative ones with backslashes, a drive
// path, names beyond ASCII): the same installer byte for byte as the native tool's from the same
// inputs, made twice (the second replaces the first), verified, its entries and its installation
// extracted, and the latter held against the front end running it.
TEST(ZtpackExe, MakesTheNativeToolsInstallerFromWindowsPaths) {
  SKIP_WITHOUT_DEV_KEYS();
  ASSERT_EQ(testutil::MissingWindowsPrograms({"InstallerLogic.exe", "tests/report_setup.exe"}), "");
  ASSERT_TRUE(fs::exists(ZtpackExe()))
      << ZtpackExe()
      << " is missing; run cmake --preset windows64 && cmake --build --preset windows64";
  // ztpack.exe is a 64-bit program: it runs under the 64-bit loader on every machine, while the
  // installer it makes runs under this machine's choice.
  const testutil::Wine& wine = testutil::Wine::Get64();
  ASSERT_TRUE(wine.ok()) << wine.error();
  testutil::TempDir dir;
  // The Windows release layout: the tool, and its default stub in stubs\ beside it (the stub this
  // machine runs stands in for the 32-bit one).
  fs::create_directories(dir / "tool" / "stubs");
  fs::create_directories(dir / "in");
  fs::copy_file(ZtpackExe(), dir / "tool" / "ztpack.exe");
  fs::copy_file(fs::path(testutil::WindowsBuildDir()) / "InstallerLogic.exe",
                dir / "tool" / "stubs" / "InstallerLogic-x86.exe");
  fs::copy_file(fs::path(testutil::WindowsBuildDir()) / "tests" / "report_setup.exe",
                dir / "in" / "setup.exe");
  const fs::path payload = dir / "Päyload";
  fs::create_directories(payload / "sub");
  testutil::WriteFile(payload / "install_script",
                      "dep-silent,a.txt,a.txt\n"
                      "dep-x86-silent,sub/ö.txt,docs\\ö.txt\n"
                      "dep-x64-silent,b64.bin,docs\\ö.txt\n");
  testutil::WriteFile(payload / "a.txt", "alpha");
  testutil::WriteFile(payload / "sub" / "ö.txt", "x86");
  testutil::WriteFile(payload / "b64.bin", "x64");
  const std::string rest = "mode = \"silent\"\n[payload]\nfolder = 'Päyload'\n[keys]\ndir = '";
  testutil::WriteFile(dir / "windows.toml",
                      "setup = 'in\\setup.exe'\noutput = 'out\\Instälľer.exe'\n" + rest +
                          WindowsPath(ZT_DEV_KEYS_DIR) + "'\n");
  testutil::WriteFile(dir / "native.toml",
                      "stub = 'tool/stubs/InstallerLogic-x86.exe'\nsetup = 'in/setup.exe'\n"
                      "output = 'native/installer.exe'\n" +
                          rest + ZT_DEV_KEYS_DIR "'\n");

  // Wine takes arguments and file names in the locale's character set.
  testutil::RunOptions options;
  options.workDir = dir.path();
  options.env = {{"LC_ALL", "C.UTF-8"}};
  auto run = [&](const std::vector<std::string>& args) {
    testutil::WineRunResult r = wine.Run((dir / "tool" / "ztpack.exe").string(), args, options);
    EXPECT_EQ(r.exitCode, 0) << args[0] << "\n" << r.outText() << r.err;
    return r.outText();
  };
  run({"make", "-q", "windows.toml"});
  run({"make", "-q", "windows.toml"});
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir / "out")) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"Instälľer.exe"}) << "nothing else left beside it";
  testutil::RunResult make =
      testutil::RunZtpack("make -q '" + (dir / "native.toml").string() + "'");
  ASSERT_EQ(make.exitCode, 0) << make.output();
  const std::string installer = (dir / "out" / "Instälľer.exe").string();
  EXPECT_EQ(Sha1Hex(testutil::ReadFile(installer)),
            Sha1Hex(testutil::ReadFile(dir / "native" / "installer.exe")));

  EXPECT_NE(run({"verify", "out\\Instälľer.exe"}).find("verdict: the installer would run"),
            std::string::npos);
  run({"extract", "-q", "out\\Instälľer.exe", "--out", "x\\ëntries"});
  EXPECT_EQ(HashedTree(dir / "x" / "ëntries"), HashedTree(payload));
  run({"extract", "-q", "--install", "--platform", "x64", "--windows-major", "10",
       "out\\Instälľer.exe", "--out", "x\\installed"});
  const std::map<std::string, std::string> extracted = HashedTree(dir / "x" / "installed");
  EXPECT_EQ(extracted, InstalledByFrontEnd(installer, dir));
  EXPECT_EQ(extracted.at("docs\\ö.txt"), Sha1Hex("x64"));
}

// ztpack.exe's private keys and scratch directories get a DACL for the user alone, which Wine
// shows as Unix permissions with none for others (the public keys keep theirs; extract's output
// directory was its scratch directory). A directory link in a payload folder is refused, not
// walked into: Wine reports a Unix link to a directory as a reparse point (a link to a file it
// shows as the file itself, so that case is checked natively only).
TEST(ZtpackExe, KeysAndScratchAreTheUsersAloneAndPayloadLinksAreRefused) {
  ASSERT_TRUE(fs::exists(ZtpackExe())) << ZtpackExe() << " is missing";
  const testutil::Wine& wine = testutil::Wine::Get64();
  ASSERT_TRUE(wine.ok()) << wine.error();
  testutil::TempDir dir;
  fs::create_directories(dir / "payload");
  fs::create_directories(dir / "outside");
  testutil::WriteFile(dir / "script", "dep-silent,a,a\n");
  testutil::WriteFile(dir / "payload" / "a", "a");
  testutil::WriteFile(dir / "outside" / "b", "b");
  testutil::RunOptions options;
  options.workDir = dir.path();
  auto run = [&](const std::vector<std::string>& args) {
    return wine.Run(ZtpackExe(), args, options);
  };
  const std::vector<std::string> bundle = {"bundle", "-q",      "--script", "script",
                                           "--dir",  "payload", "--key",    "keys\\bundle.key",
                                           "--cert", "cert",    "--out"};
  auto bundleTo = [&](const char* out) {
    std::vector<std::string> args = bundle;
    args.push_back(out);
    return run(args);
  };
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"keygen", "--out", "keys"},
           {"certify", "--root-key", "keys\\root.key", "--public", "keys\\bundle.der", "--goal",
            "IBND", "--out", "cert"}}) {
    testutil::WineRunResult r = run(args);
    ASSERT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
  }
  ASSERT_EQ(bundleTo("ibnd").exitCode, 0);
  ASSERT_EQ(run({"extract", "-q", "ibnd", "--root-key", "keys\\root.der", "--out", "x"}).exitCode,
            0);
  auto others = [&](const fs::path& p) {
    return fs::status(p).permissions() & fs::perms::others_all;
  };
  for (const char* name : {"root", "bundle", "setup"}) {
    EXPECT_EQ(others(dir / "keys" / (std::string(name) + ".key")), fs::perms::none) << name;
    EXPECT_NE(others(dir / "keys" / (std::string(name) + ".der")), fs::perms::none) << name;
  }
  EXPECT_EQ(others(dir / "x"), fs::perms::none);

  fs::create_directory_symlink(dir / "outside", dir / "payload" / "link");
  testutil::WineRunResult r = bundleTo("ibnd2");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("payload\\link: symbolic links are not packed"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "ibnd2"));
  testutil::WriteFile(dir / "m.toml",
                      "stub = 'script'\nsetup = 'script'\nmode = 'silent'\n"
                      "output = 'i.exe'\n[payload]\nfolder = 'payload'\n"
                      "[keys]\ndir = 'keys'\n");
  r = run({"make", "-q", "m.toml"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("payload\\link: symbolic links are not packed"), std::string::npos) << r.err;
}

}  // namespace
