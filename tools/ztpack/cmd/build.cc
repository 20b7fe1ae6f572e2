// ztpack build --stub EXE --setup F --mode M --out F: the finished installer, the stub with the
// run mode (TYPE) and the signed setup program (LOAD) in a .ZTBNDL last section.
#include <cstdio>

#include "author/manifest.h"
#include "cmd/command.h"
#include "read/script_check.h"

namespace ztpack {
namespace {

constexpr CommandErrors kErrors{"build"};

struct BuildOptions {
  std::string stub, setup, mode, out;
};

CommandRegistration registration{Command{
    "build", "Write the finished installer: TYPE and LOAD into the stub's .ZTBNDL section",
    [](CLI::App& app) -> std::function<int()> {
      auto options = std::make_shared<BuildOptions>();
      app.add_option("--stub", options->stub, "The front end, InstallerLogic.exe")->required();
      app.add_option("--setup", options->setup,
                     "The signed setup program carrying the bundle (see sign-setup)")
          ->required();
      app.add_option("--mode", options->mode,
                     "Run mode written as TYPE: \"gui\" (progress window) or \"silent\"")
          ->required();
      app.add_option("--out", options->out, "The installer to write")->required();
      return [options] {
        if (auto bad = FirstUnreadable({options->stub, options->setup}); !bad.empty()) {
          return kErrors.Fail(kExitUnusable, bad);
        }
        if (!IsAcceptedRunMode(options->mode)) {
          return kErrors.Fail(
              kExitUnusable,
              "--mode must be exactly \"gui\" or \"silent\", not \"" + options->mode + "\"");
        }
        support::Status status =
            BuildInstaller(options->stub, options->setup, options->mode, options->out);
        if (!status) return kErrors.Fail(kExitFailed, status.error());
        return kExitOk;
      };
    }}};

}  // namespace
}  // namespace ztpack
