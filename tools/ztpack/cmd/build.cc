// ztpack build --stub EXE --setup F --mode M [--root-key P --setup-key P] --out F: the finished
// installer, the stub with the run mode (TYPE) and the signed setup program (LOAD) in a .ZTBNDL
// last section, and the public keys it trusts in its key place.
#include <cstdio>
#include <iterator>

#include "author/keys.h"
#include "author/make_pipeline.h"
#include "cmd/command.h"
#include "read/script_check.h"

namespace ztpack {
namespace {

constexpr CommandErrors kErrors{"build"};

struct BuildOptions {
  std::string stub, setup, mode, out, rootKey, setupKey;
  std::string icon, executionLevel, dpiAwareness;
  std::vector<std::pair<std::string, std::string>> named;  // (resource name, value) of the options
  std::vector<std::string> strings;                        // NAME=VALUE
};

// The version strings that have an option of their own.
constexpr std::pair<const char*, const char*> kVersionOptions[] = {
    {"--product-name", "ProductName"},       {"--file-description", "FileDescription"},
    {"--company-name", "CompanyName"},       {"--legal-copyright", "LegalCopyright"},
    {"--product-version", "ProductVersion"}, {"--file-version", "FileVersion"}};

support::Result<Identity> IdentityOf(const BuildOptions& o) {
  Identity identity;
  identity.icon = o.icon;
  identity.executionLevel = o.executionLevel;
  identity.dpiAwareness = o.dpiAwareness;
  for (const auto& [name, value] : o.named) {
    if (value.empty()) continue;
    identity.strings.emplace_back(name, value);
    // The numbers come from the version strings that are numbers.
    if (name == std::string("FileVersion")) {
      if (auto v = ParseVersionNumber(value)) identity.fileVersion = *v;
    }
    if (name == std::string("ProductVersion")) {
      if (auto v = ParseVersionNumber(value)) identity.productVersion = *v;
    }
  }
  for (const std::string& s : o.strings) {
    const size_t eq = s.find('=');
    if (eq == 0 || eq == std::string::npos || eq + 1 == s.size()) {
      return support::Errorf("--version-string \"%s\": give NAME=VALUE", s.c_str());
    }
    identity.strings.emplace_back(s.substr(0, eq), s.substr(eq + 1));
  }
  if (!identity.icon.empty()) {
    if (auto ico = ReadIcoFile(identity.icon); !ico) return ico.takeError();
  }
  if (auto ok = CheckIdentityChoices(identity); !ok) return ok.takeError();
  return identity;
}

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
      app.add_option("--root-key", options->rootKey,
                     "Root public key (DER or PEM) the installer trusts: the one that certified "
                     "the bundle's key (default: the key the stub holds)");
      app.add_option("--setup-key", options->setupKey,
                     "Setup signing public key (DER or PEM) the installer trusts (default: the "
                     "key the stub holds)");
      app.add_option("--out", options->out, "The installer to write")->required();
      app.add_option("--icon", options->icon, "The installer's icon (.ico)");
      options->named.resize(std::size(kVersionOptions));
      for (size_t i = 0; i < std::size(kVersionOptions); ++i) {
        options->named[i].first = kVersionOptions[i].second;
        app.add_option(kVersionOptions[i].first, options->named[i].second,
                       std::string("The version resource's ") + kVersionOptions[i].second);
      }
      app.add_option("--version-string", options->strings,
                     "A further version string, NAME=VALUE (repeatable)");
      app.add_option("--execution-level", options->executionLevel,
                     "requireAdministrator (the stub's), highestAvailable or asInvoker");
      app.add_option("--dpi-awareness", options->dpiAwareness,
                     "unaware, system, permonitor or permonitorv2");
      return [options] {
        if (auto bad = FirstUnreadable({options->stub, options->setup}); !bad.empty()) {
          return kErrors.Fail(kExitUnusable, bad);
        }
        if (!IsAcceptedRunMode(options->mode)) {
          return kErrors.Fail(
              kExitUnusable,
              "--mode must be exactly \"gui\" or \"silent\", not \"" + options->mode + "\"");
        }
        InstallerKeys keys;
        for (auto [path, der] : {std::pair{&options->rootKey, &keys.root},
                                 std::pair{&options->setupKey, &keys.setup}}) {
          if (path->empty()) continue;
          auto key = LoadPublicKey(*path);
          if (!key) return kErrors.Fail(kExitUnusable, key.error());
          *der = PublicKeyDer(*key);
        }
        auto identity = IdentityOf(*options);
        if (!identity) return kErrors.Fail(kExitUnusable, identity.error());
        support::Status status = BuildInstaller(
            options->stub, options->setup, options->mode, options->out, keys,
            [](const std::string& line) { kErrors.Say(line); }, *identity);
        if (!status) return kErrors.Fail(kExitFailed, status.error());
        return kExitOk;
      };
    }}};

}  // namespace
}  // namespace ztpack
