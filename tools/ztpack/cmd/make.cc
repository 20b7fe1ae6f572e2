// ztpack make MANIFEST: certificate, bundle, signed setup program and finished installer from
// one TOML manifest (format in manifest.h).
#include <cstdio>

#include "author/authenticode_signer.h"
#include "author/make_pipeline.h"
#include "author/pkcs11.h"
#include "cmd/command.h"
#include "cmd/verify.h"
#include "os/file_ops.h"
#include "os/process.h"
#include "os/progress.h"

namespace ztpack {
namespace {

constexpr CommandErrors kErrors{"make"};

// `ztpack verify`'s checks of a signed installer, in this process, with the manifest's public
// keys: the same checks, the same verdict. The error keeps the lines that say what failed.
// The installer is read through the descriptor of the file make holds open (/dev/fd/N), so that
// what is checked is what the output receives; on Windows, where the held file keeps its path
// from changing, by that path.
support::Status VerifyInThisProcess(const fileops::RawFile& installer, const std::string& path,
                                    const std::string& rootKeyDer, const std::string& setupKeyDer) {
  VerifyOptions options;
  options.file = process::InheritedName(0).empty()
                     ? path
                     : "/dev/fd/" + std::to_string(installer.NativeHandle());
  options.rootKey = rootKeyDer;
  options.setupKey = setupKeyDer;
  const VerifyVerdict verdict = VerifyQuietly(options);
  if (verdict.exitCode == kExitOk) return {};
  std::string failures;
  if (!verdict.error.empty()) failures = "\n  ztpack verify: " + verdict.error;
  for (const std::string& line : verdict.failures) failures += "\n  " + line;
  return support::Errorf("ztpack verify refused it (exit %d):%s", verdict.exitCode,
                         failures.c_str());
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
        options.verifyInstaller = &VerifyInThisProcess;
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
