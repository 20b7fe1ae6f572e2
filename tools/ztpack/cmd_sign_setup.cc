// ztpack sign-setup --key K --in SETUP [--bundle B] [--plain] --out F: embeds the `_SG2`
// signature document that the installer checks before it starts the setup program.
#include <cstdio>

#include "command.h"
#include "keys.h"
#include "setup_signer.h"

namespace ztpack {
namespace {

struct SignSetupCommandOptions {
  std::string key;
  SignSetupOptions sign;
};

constexpr char kFooter[] =
    "A PE setup program gets the signature document in a .ZTBNDL last section and is signed so\n"
    "that the installer's header-tolerant check accepts it before and after an Authenticode\n"
    "signature (at most 15 sections after adding .ZTBNDL: build it stripped). --plain signs every\n"
    "byte in front of the document instead; a later Authenticode signature breaks that. A file\n"
    "that is not a PE is always signed plainly, the document appended at its end.\n"
    "\n"
    "--bundle appends the bundle as the IBND attachment at the very end of the file. An\n"
    "Authenticode signature appends its certificate table at the end of the file and would hide\n"
    "the bundle, so a setup program that is to be Authenticode-signed is signed here WITHOUT\n"
    "--bundle, then Authenticode-signed, and gets its bundle last:\n"
    "    ztpack attach --type IBND --data BUNDLE SETUP";

CommandRegistration registration{Command{
    "sign-setup", "Embed the _SG2 signature document in a setup program; append its bundle",
    [](CLI::App& app) -> std::function<int()> {
      auto options = std::make_shared<SignSetupCommandOptions>();
      app.add_option("--key", options->key, "Setup signing private key (PKCS#8, DER or PEM)")
          ->required();
      app.add_option("--in", options->sign.input, "The setup program (PE32, PE32+ or any file)")
          ->required();
      app.add_option("--bundle", options->sign.bundle,
                     "Bundle to append as IBND at the end (not for Authenticode-signed setups)");
      app.add_flag("--plain", options->sign.plain,
                   "Sign every byte in front of the document (breaks under Authenticode)");
      app.add_option("--out", options->sign.output, "The signed setup program")->required();
      app.footer(kFooter);
      return [options] {
        auto key = LoadPrivateKey(options->key);
        if (!key) {
          std::fprintf(stderr, "ztpack sign-setup: %s\n", key.error().c_str());
          return 1;
        }
        auto summary = SignSetup(*key, options->sign);
        if (!summary) {
          std::fprintf(stderr, "ztpack sign-setup: %s\n", summary.error().c_str());
          return 1;
        }
        std::printf("%s: signed (%s, %s pass), _SG2 data at 0x%llx%s\n",
                    options->sign.output.c_str(), summary->pe ? "PE" : "not a PE",
                    summary->plain ? "plain" : "header-tolerant",
                    static_cast<unsigned long long>(summary->dataOffset),
                    options->sign.bundle.empty() ? "" : ", bundle appended as IBND");
        return 0;
      };
    }}};

}  // namespace
}  // namespace ztpack
