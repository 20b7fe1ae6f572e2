// ztpack sign-setup --key K --in SETUP [--bundle B | --bind-bundle B] [--plain] --out F: embeds
// the `_SG2` signature document that the installer checks before it starts the setup program,
// binding the program to its bundle.
#include <cstdio>

#include "author/keys.h"
#include "author/pkcs11.h"
#include "author/setup_signer.h"
#include "cmd/command.h"

namespace ztpack {
namespace {

struct SignSetupCommandOptions {
  std::string key;
  Pkcs11Options pkcs11;
  SignSetupOptions sign;
};

constexpr CommandErrors kErrors{"sign-setup"};

constexpr char kFooter[] =
    "A PE setup program gets the signature document in a .ZTBNDL last section and is signed so\n"
    "that the installer's header-tolerant check accepts it before and after an Authenticode\n"
    "signature (at most 15 sections after adding .ZTBNDL: build it stripped). --plain signs every\n"
    "byte in front of the document instead; a later Authenticode signature breaks that. A file\n"
    "that is not a PE is always signed plainly, the document appended at its end.\n"
    "\n"
    "--bundle binds the setup program to the bundle and appends it as the IBND attachment at\n"
    "the very end of the file: the installer then runs it with that bundle only (the bundle's\n"
    "SHA-1 is signed in front of the document and named in its \"bundle\" member). An\n"
    "Authenticode signature appends its certificate table at the end of the file and would hide\n"
    "the bundle, so a setup program that is to be Authenticode-signed is bound here with\n"
    "--bind-bundle (which attaches nothing), then Authenticode-signed, and gets its bundle last:\n"
    "    ztpack attach --type IBND --data BUNDLE SETUP";

CommandRegistration registration{Command{
    "sign-setup", "Embed the _SG2 signature document in a setup program; append its bundle",
    [](CLI::App& app) -> std::function<int()> {
      auto options = std::make_shared<SignSetupCommandOptions>();
      app.add_option("--key", options->key,
                     std::string("Setup signing private key: ") + kPrivateKeyForms)
          ->required();
      app.add_option("--pkcs11-module", options->pkcs11.module, kPkcs11ModuleHelp);
      app.add_option("--in", options->sign.input, "The setup program (PE32, PE32+ or any file)")
          ->required();
      app.add_option("--bundle", options->sign.bundle,
                     "Bundle to bind and append as IBND at the end (not for Authenticode-signed "
                     "setups)");
      app.add_option("--bind-bundle", options->sign.bindBundle,
                     "Bundle to bind without appending it (attached later, after Authenticode)");
      app.add_flag("--plain", options->sign.plain,
                   "Sign every byte in front of the document (breaks under Authenticode)");
      app.add_option("--out", options->sign.output, "The signed setup program")->required();
      app.footer(kFooter);
      return [options] {
        SignSetupOptions& sign = options->sign;
        if (!sign.bundle.empty() && !sign.bindBundle.empty() && sign.bundle != sign.bindBundle) {
          return kErrors.Fail(kExitUnusable, "--bind-bundle names another bundle than --bundle");
        }
        if (sign.bindBundle.empty()) sign.bindBundle = sign.bundle;
        if (auto bad = FirstUnreadable({sign.input, sign.bindBundle}); !bad.empty()) {
          return kErrors.Fail(kExitUnusable, bad);
        }
        auto key = OpenSigningKey(options->key, KeyRole::kSetup, options->pkcs11);
        if (!key) return kErrors.Fail(kExitUnusable, key.error());
        auto summary = SignSetup(*key, options->sign);
        if (!summary) return kErrors.Fail(kExitFailed, summary.error());
        std::printf("%s: signed (%s, %s pass), _SG2 data at 0x%llx%s%s%s\n",
                    options->sign.output.c_str(), summary->pe ? "PE" : "not a PE",
                    summary->plain ? "plain" : "header-tolerant",
                    static_cast<unsigned long long>(summary->dataOffset),
                    summary->boundTo.empty() ? "" : ", bound to bundle ", summary->boundTo.c_str(),
                    options->sign.bundle.empty() ? "" : ", bundle appended as IBND");
        return kExitOk;
      };
    }}};

}  // namespace
}  // namespace ztpack
