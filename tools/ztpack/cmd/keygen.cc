// ztpack keygen: the three key pairs of a release (root, bundle, setup), in files or made inside
// a PKCS#11 token (--pkcs11), which keeps the private halves.
#include <cstdio>
#include <filesystem>

#include "author/keys.h"
#include "author/pkcs11.h"
#include "cmd/command.h"
#include "os/file_ops.h"
#include "os/output_file.h"

namespace ztpack {
namespace {

struct KeyPlan {
  const char* name;
  unsigned bits;
  unsigned exponent;
  KeyRole role;
};
constexpr CommandErrors kErrors{"keygen"};

constexpr KeyPlan kKeys[] = {{"root", 2048, 65537, KeyRole::kRoot},
                             {"bundle", 2048, 65537, KeyRole::kBundle},
                             {"setup", 4096, 17, KeyRole::kSetup}};

struct Options {
  std::string dir, uri;
  Pkcs11Options pkcs11;
  bool force = false;
};

// Refuses existing files of these extensions in `dir` (made if missing) unless `force`.
int PrepareDirectory(const std::string& dir, bool force, std::vector<const char*> extensions) {
  std::error_code ec;
  std::filesystem::create_directories(fileops::U8Path(dir), ec);
  if (ec) return kErrors.Fail(kExitFailed, "cannot create " + dir + ": " + ec.message());
  if (!force) {
    for (const KeyPlan& k : kKeys) {
      for (const char* ext : extensions) {
        std::string path = dir + "/" + k.name + ext;
        if (std::filesystem::exists(fileops::U8Path(path), ec)) {
          return kErrors.Fail(kExitFailed, path + " exists already (use --force to replace it)");
        }
      }
    }
  }
  return kExitOk;
}

// The pairs made inside the token; only the public halves are written.
int RunTokenKeygen(const Options& o) {
  if (!HavePkcs11Support()) return kErrors.Fail(kExitUnusable, kNoPkcs11Support);
  std::error_code ec;
  const bool dirExisted = std::filesystem::exists(fileops::U8Path(o.dir), ec);
  if (int rc = PrepareDirectory(o.dir, o.force, {".der"}); rc != kExitOk) return rc;
  std::vector<TokenKeyPlan> plans;
  for (const KeyPlan& k : kKeys) plans.push_back({k.name, k.bits, k.exponent, k.role});
  if (fileops::StderrIsTerminal()) {
    std::fprintf(stderr, "generating root, bundle and setup keys in the token...\n");
  }
  bool reached = false;
  auto ders = GenerateTokenKeys(o.uri, plans, o.force, o.pkcs11, &reached);
  // Nothing was made: the token could not be reached (an unusable URI, module or PIN), or it
  // refused the keys.
  if (!ders) {
    if (!dirExisted) std::filesystem::remove(fileops::U8Path(o.dir), ec);  // only if still empty
    return kErrors.Fail(reached ? kExitFailed : kExitUnusable, ders.error());
  }
  for (size_t i = 0; i < plans.size(); ++i) {
    const std::string path = o.dir + "/" + plans[i].label + ".der";
    if (auto s = WriteOutputFile(path, (*ders)[i]); !s) return kErrors.Fail(kExitFailed, s.error());
    std::printf("%s (X.509 public) written; private key \"%s\" stays in the token\n", path.c_str(),
                plans[i].label.c_str());
  }
  return kExitOk;
}

int RunKeygen(const std::string& dir, bool force) {
  if (int rc = PrepareDirectory(dir, force, {".key", ".der"}); rc != kExitOk) return rc;
  const bool terminal = fileops::StderrIsTerminal();
  for (const KeyPlan& k : kKeys) {
    if (terminal)
      std::fprintf(stderr, "generating %s key (%u bits, e=%u)...\n", k.name, k.bits, k.exponent);
    auto key = GenerateKey(k.bits, k.exponent);
    if (!key) return kErrors.Fail(kExitFailed, std::string(k.name) + " key: " + key.error());
    std::string base = dir + "/" + k.name;
    if (auto s = WriteOutputFile(base + ".key", PrivateKeyPem(*key), OutputFile::Access::kSecret);
        !s) {
      return kErrors.Fail(kExitFailed, s.error());
    }
    if (auto s = WriteOutputFile(base + ".der", PublicKeyDer(*key)); !s) {
      return kErrors.Fail(kExitFailed, s.error());
    }
    std::printf("%s.key (PKCS#8, private) and %s.der (X.509 public) written\n", base.c_str(),
                base.c_str());
  }
  return kExitOk;
}

CommandRegistration registration{
    {"keygen",
     "Generate the root (2048, e=65537), bundle (2048, e=65537) and setup (4096, e=17) key pairs",
     [](CLI::App& app) -> std::function<int()> {
       auto o = std::make_shared<Options>();
       app.add_option("--out", o->dir,
                      "Directory for NAME.key (PKCS#8 PEM) and NAME.der (public); with --pkcs11 "
                      "NAME.der only")
           ->required();
       app.add_option("--pkcs11", o->uri,
                      "Make the pairs inside the token this pkcs11: URI names (token attributes "
                      "only), labelled root, bundle and setup; private halves never leave it");
       app.add_option("--pkcs11-module", o->pkcs11.module, kPkcs11ModuleHelp);
       app.add_flag("--force", o->force,
                    "Replace existing key files (with --pkcs11: and token objects of those labels, "
                    "removed once the new pairs exist)");
       return [o]() -> int {
         if (o->uri.empty()) {
           if (!o->pkcs11.module.empty()) {
             return kErrors.Fail(kExitUnusable, "--pkcs11-module is for --pkcs11 only");
           }
           return RunKeygen(o->dir, o->force);
         }
         if (!IsPkcs11Uri(o->uri)) {
           return kErrors.Fail(kExitUnusable, "--pkcs11 \"" + o->uri + "\" is not a pkcs11: URI");
         }
         return RunTokenKeygen(*o);
       };
     }}};

}  // namespace
}  // namespace ztpack
