// ztpack make MANIFEST: certificate, bundle, signed setup program and finished installer from
// one TOML manifest (format in manifest.h).
#include <cstdio>

#include "command.h"
#include "manifest.h"

namespace ztpack {
namespace {

CommandRegistration registration{Command{
    "make", "Build a finished installer from one TOML manifest (deterministic output)",
    [](CLI::App& app) -> std::function<int()> {
      auto path = std::make_shared<std::string>();
      auto threads = std::make_shared<unsigned>(0);
      app.add_option("MANIFEST", *path, "The manifest file")->required();
      app.add_option("--threads", *threads,
                     "Compressing threads (default: one per processor; the output is the same)");
      return [path, threads] {
        auto manifest = LoadManifest(*path);
        if (!manifest) {
          std::fprintf(stderr, "ztpack make: %s\n", manifest.error().c_str());
          return 1;
        }
        manifest->threads = *threads;
        support::Status made = MakeInstaller(*manifest);
        if (!made) {
          std::fprintf(stderr, "ztpack make: %s\n", made.error().c_str());
          return 1;
        }
        std::printf("%s\n", manifest->output.c_str());
        return 0;
      };
    }}};

}  // namespace
}  // namespace ztpack
