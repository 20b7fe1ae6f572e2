// ztpack build --stub EXE --setup F --mode M --out F: the finished installer, the stub with the
// run mode (TYPE) and the signed setup program (LOAD) in a .ZTBNDL last section.
#include <cstdio>

#include "cmd/command.h"
#include "author/manifest.h"
#include "read/script_check.h"

namespace ztpack {
namespace {

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
        if (!IsAcceptedRunMode(options->mode)) {
          std::fprintf(stderr, "ztpack build: --mode must be exactly \"gui\" or \"silent\", not "
                               "\"%s\"\n", options->mode.c_str());
          return 1;
        }
        support::Status status =
            BuildInstaller(options->stub, options->setup, options->mode, options->out);
        if (!status) {
          std::fprintf(stderr, "ztpack build: %s\n", status.error().c_str());
          return 1;
        }
        return 0;
      };
    }}};

}  // namespace
}  // namespace ztpack
