// ztpack make MANIFEST: certificate, bundle, signed setup program and finished installer from
// one TOML manifest (format in manifest.h).
#include <cstdio>

#include "author/authenticode_signer.h"
#include "author/manifest.h"
#include "author/pkcs11.h"
#include "cmd/command.h"
#include "os/file_ops.h"
#include "os/process.h"
#include "os/progress.h"

namespace ztpack {
namespace {

constexpr CommandErrors kErrors{"make"};

// `ztpack verify` of a signed installer, by this very program, with the manifest's public keys:
// the same checks, the same verdict. The error keeps the lines that say what failed.
// The installer reaches it as an inherited descriptor of the file make holds open (/dev/fd/3), the
// keys from make's private scratch directory.
support::Status VerifyWithThisTool(const fileops::RawFile& installer, const std::string& path,
                                   const std::string& rootKeyDer, const std::string& setupKeyDer) {
  const std::string self = fileops::ExecutablePath();
  if (self.empty()) return support::Errorf("cannot find ztpack itself to run its verify");
  process::RunOptions options;
  const std::string name = ChildNameOf(installer, path, &options.inherit);
  auto run = process::Run(
      self, {"verify", "-q", name, "--root-key", rootKeyDer, "--setup-key", setupKeyDer}, options);
  if (!run) return support::Error{run.error()};
  if (run->exitCode == 0) return {};
  std::string failures;
  size_t start = 0;
  while (start < run->output.size()) {
    size_t end = run->output.find('\n', start);
    if (end == std::string::npos) end = run->output.size();
    const std::string line = run->output.substr(start, end - start);
    if (line.find("FAILED") != std::string::npos || line.rfind("verdict", 0) == 0 ||
        line.rfind("ztpack", 0) == 0) {
      failures += "\n  " + line;
    }
    start = end + 1;
  }
  return support::Errorf("ztpack verify refused it (exit %d):%s", run->exitCode, failures.c_str());
}

CommandRegistration registration{Command{
    "make", "Build a finished installer from one TOML manifest (deterministic output)",
    [](CLI::App& app) -> std::function<int()> {
      auto path = std::make_shared<std::string>();
      auto threads = std::make_shared<unsigned>(0);
      auto quiet = std::make_shared<bool>(false);
      auto module = std::make_shared<std::string>();
      app.add_option("MANIFEST", *path, "The manifest file")->required();
      app.add_option("--pkcs11-module", *module,
                     std::string(kPkcs11ModuleHelp) + "; overrides the manifest's [pkcs11] module");
      app.add_option("--threads", *threads,
                     "Compressing threads (default: one per processor; the output is the same)");
      app.add_flag("--quiet,-q", *quiet, "No progress on the terminal");
      app.footer(
          "The install script is checked with the installer's own rules first: targets the "
          "installer refuses, entries the bundle lacks and directives of fewer than three "
          "fields stop the build; other findings are warnings.\n"
          "[keys] root, bundle and setup each take a key file or a pkcs11: URI "
          "(\"pkcs11:token=release;object=root\"); the PIN comes from the URI's "
          "pin-source=file:PATH or $ZTPACK_PKCS11_PIN.");
      return [path, threads, quiet, module] {
        if (auto bad = FirstUnreadable({*path}); !bad.empty()) {
          return kErrors.Fail(kExitUnusable, bad);
        }
        auto manifest = LoadManifest(*path);
        if (!manifest) return kErrors.Fail(kExitFailed, manifest.error());
        manifest->threads = *threads;
        // The module given here serves the Authenticode key as well as the installer's keys.
        if (!module->empty()) manifest->pkcs11Module = *module;
        // Before anything is built: a key that cannot be used is an unusable input.
        auto keys = OpenManifestKeys(*manifest, *module);
        if (!keys) return kErrors.Fail(kExitUnusable, keys.error());
        ProgressMeter meter("make", 0, 0, *quiet);
        MakeOptions options;
        options.warn = [](const std::string& line) { kErrors.Say(line); };
        options.note = [](const std::string& line) { std::printf("%s\n", line.c_str()); };
        options.step = [quiet = *quiet](const std::string& line) {
          if (!quiet) kErrors.Say(line);
        };
        options.verifyInstaller = &VerifyWithThisTool;
        options.progress = [&meter](uint64_t done, uint64_t total) {
          meter.SetTotals(total, 0);
          meter.Update(done, 0);
        };
        support::Status made = MakeInstaller(*manifest, *keys, options);
        meter.Finish();
        if (!made) return kErrors.Fail(kExitFailed, made.error());
        std::printf("%s\n", manifest->output.c_str());
        return kExitOk;
      };
    }}};

}  // namespace
}  // namespace ztpack
