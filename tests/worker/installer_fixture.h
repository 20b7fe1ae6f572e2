// Installers for the native whole-flow tests, made by our own writers: a small PE stub whose
// .ZTBNDL section holds TYPE and LOAD, where LOAD is a shell script standing in for the setup
// program, signed with the development setup key and carrying its bundle. The script writes
// what it received (arguments, current directory, files with SHA-1) to $ZT_REPORT and exits
// with $ZT_SETUP_EXIT (0 when unset).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "author/attachment_writer.h"
#include "author/bundle_writer.h"
#include "author/keys.h"
#include "author/make_pipeline.h"
#include "author/pe_image.h"
#include "author/setup_signer.h"
#include "entry.h"
#include "support/text.h"
#include "testutil/capture.h"
#include "testutil/collision.h"
#include "testutil/digest.h"
#include "testutil/pe_fixture.h"
#include "testutil/temp_dir.h"

namespace worker_test {

#if ZT_USING_DEV_ROOT_KEY && ZT_USING_DEV_SETUP_KEY
constexpr bool kHaveDevKeys = true;
#else
constexpr bool kHaveDevKeys = false;
#endif

#define SKIP_WITHOUT_DEV_KEYS()                          \
  if (!worker_test::kHaveDevKeys)                        \
  GTEST_SKIP() << "built with release keys: no private " \
                  "halves to sign test installers"

struct DevKeys {
  ztpack::RsaPrivateKey root, bundle, setup;
  static const DevKeys& Get() {
    static const DevKeys keys = [] {
      DevKeys k;
      const std::string dir = ZT_DEV_KEYS_DIR;
      k.root = ztpack::LoadPrivateKey(dir + "/root.key").value();
      k.bundle = ztpack::LoadPrivateKey(dir + "/bundle.key").value();
      k.setup = ztpack::LoadPrivateKey(dir + "/setup.key").value();
      return k;
    }();
    return keys;
  }
};

constexpr const char* kReportingSetup =
    "#!/bin/sh\n"
    "{\n"
    "  echo \"cwd=$(pwd)\"\n"
    "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done\n"
    "  find . -type f ! -name setup.exe ! -name ibnd | sort | while read -r f; do\n"
    "    echo \"file=$f $(sha1sum < \"$f\" | cut -c1-40)\"\n"
    "  done\n"
    "} > \"$ZT_REPORT\"\n"
    "exit ${ZT_SETUP_EXIT:-0}\n";

struct InstallerRecipe {
  std::string mode = "silent";
  std::string script;  // the install_script entry
  bool withScript = true;
  std::map<std::string, std::string> entries;  // further entries: name -> content
  // Tampering after signing: a byte of the bundle, or of the signed setup program.
  bool tamperBundle = false;
  bool tamperSetup = false;
  bool withType = true;
  bool withLoad = true;    // the installer carries the setup program
  bool withBundle = true;  // the setup program carries the bundle
  // Written by hand, as build would refuse to (an empty key place; tampering implies it).
  bool byHand = false;
  // Real programs in place of the PE fixture stub and the shell script (end-to-end tests).
  std::string stubPath;
  std::string setupPath;
  // The setup program signed plainly by testutil::SignWithoutDetection, which ztpack would refuse
  // for half of a collision (its _SG2 document and the bundle appended).
  bool testOnlySigner = false;
};

// Writes the installer into `dir` and returns its path.
inline std::string MakeInstaller(const testutil::TempDir& dir, const InstallerRecipe& recipe) {
  const DevKeys& keys = DevKeys::Get();
  std::string stub = recipe.stubPath;
  if (stub.empty()) {
    stub = (dir / "stub.exe").string();
    testutil::WriteFile(stub, testutil::KeyedStub());
  }
  std::string setup = recipe.setupPath;
  if (setup.empty()) {
    setup = (dir / "setup.sh").string();
    testutil::WriteFile(setup, kReportingSetup);
    std::filesystem::permissions(setup, std::filesystem::perms::owner_all);
  }

  std::vector<ztpack::BundleInput> inputs;
  if (recipe.withScript) inputs.push_back({"install_script", "", recipe.script});
  for (const auto& [name, content] : recipe.entries) inputs.push_back({name, "", content});
  auto block = ztpack::MakePublicKeyBlock(keys.root, ztpack::PublicKeyDer(keys.bundle), "IBND", 0);
  EXPECT_TRUE(block.ok()) << block.error();
  const std::string bundle = (dir / "ibnd").string();
  support::Status written = ztpack::WriteBundle(bundle, inputs, keys.bundle, *block, {});
  EXPECT_TRUE(written.ok()) << written.error();
  if (recipe.tamperBundle) {
    std::string bytes = testutil::ReadFile(bundle);
    bytes[bytes.size() / 2] ^= 0x01;
    testutil::WriteFile(bundle, bytes);
  }

  const std::string signedSetup = (dir / "setup.signed").string();
  ztpack::SignSetupOptions options;
  options.input = setup;
  options.output = signedSetup;
  if (recipe.withBundle) options.bundle = bundle;
  if (recipe.testOnlySigner) {
    const std::string bytes = testutil::ReadFile(setup);
    const std::string document =
        ztpack::MakeSignatureDocument(testutil::SignWithoutDetection(keys.setup, bytes));
    std::string out = bytes + ztpack::MakeAttachment("_SG2", document).value();
    if (recipe.withBundle)
      out += ztpack::MakeAttachment("IBND", testutil::ReadFile(bundle)).value();
    testutil::WriteFile(signedSetup, out);
  } else {
    ztpack::StdoutToStderr quiet;
    auto signedOk = ztpack::SignSetup(keys.setup, options);
    EXPECT_TRUE(signedOk.ok()) << signedOk.error();
  }
  std::filesystem::permissions(signedSetup, std::filesystem::perms::owner_all);
  if (recipe.tamperSetup) {
    std::string bytes = testutil::ReadFile(signedSetup);
    bytes[2] = 'X';  // "#!/bin/sh" -> "#!X..." inside the signed bytes
    testutil::WriteFile(signedSetup, bytes);
  }

  const std::string installer = (dir / "installer.exe").string();
  // A setup program signed by the test-only signer is one the tool would refuse to build with.
  const bool byHand =
      recipe.byHand || recipe.tamperSetup || recipe.tamperBundle || recipe.testOnlySigner;
  if (recipe.withType && recipe.withLoad && !byHand) {
    support::Status built = ztpack::BuildInstaller(stub, signedSetup, recipe.mode, installer);
    EXPECT_TRUE(built.ok()) << built.error();
  } else {
    std::vector<ztpack::AttachmentInput> parts;
    if (recipe.withType) parts.push_back(ztpack::AttachmentInput::FromBytes("TYPE", recipe.mode));
    if (recipe.withLoad) parts.push_back(ztpack::AttachmentInput::FromFile("LOAD", signedSetup));
    support::Status built = ztpack::WriteBundleSection(stub, installer, parts);
    EXPECT_TRUE(built.ok()) << built.error();
  }
  return installer;
}

// What the stand-in setup program reported, parsed from its report lines.
struct Report {
  bool ran = false;
  std::string cwd;
  std::vector<std::string> args;
  std::map<std::string, std::string> files;  // "./path" -> SHA-1 hex
};

inline Report ReadReport(const std::filesystem::path& path) {
  Report report;
  std::string text = testutil::ReadFile(path);
  if (text.empty()) return report;
  report.ran = true;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind("cwd=", 0) == 0) report.cwd = line.substr(4);
    if (line.rfind("arg=", 0) == 0) report.args.push_back(line.substr(4));
    if (line.rfind("file=", 0) == 0) {
      size_t space = line.rfind(' ');
      report.files[line.substr(5, space - 5)] = line.substr(space + 1);
    }
  }
  return report;
}

// Runs the entry sequence on `installer` with its workspace under `tmp` and the report written
// to tmp/report. Platform facts come from the POSIX layer's stand-ins.
struct RunOutcome {
  int exitCode = -1;
  Report report;
  std::vector<std::string> debug;  // every debugger-channel text
  std::string trace;               // the trace messages, joined
  std::string stderrText;
};

inline RunOutcome RunInstaller(const testutil::TempDir& tmp, const std::string& installer,
                               const std::u16string& commandTail, bool wow64 = false,
                               int majorVersion = 10,
                               std::function<void(const std::string&)> onDebug = nullptr) {
  const std::filesystem::path workspaces = tmp / "workspaces";
  std::filesystem::create_directories(workspaces);
  const std::filesystem::path report = tmp / "report";
  std::filesystem::remove(report);
  ::setenv("TMPDIR", workspaces.c_str(), 1);
  ::setenv("ZT_REPORT", report.c_str(), 1);
  ::setenv("ZT_FAKE_WOW64", wow64 ? "1" : "0", 1);
  ::setenv("ZT_FAKE_MAJOR_VERSION", std::to_string(majorVersion).c_str(), 1);
  RunOutcome run;
  {
    testutil::DebugCapture capture;
    capture.onText = std::move(onDebug);
    ::testing::internal::CaptureStderr();
    run.exitCode = installer::RunEntry(commandTail, support::Utf8ToWide(installer, true));
    run.stderrText = ::testing::internal::GetCapturedStderr();
    run.debug = capture.texts();
    run.trace = capture.joined();
  }
  ::unsetenv("TMPDIR");
  run.report = ReadReport(report);
  return run;
}

// Names left in the directory the workspaces are made in (empty once a run has cleaned up).
inline std::vector<std::string> LeftOver(const testutil::TempDir& tmp) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(tmp / "workspaces", ec)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

}  // namespace worker_test
