// ztpack keygen: the three key pairs of a release (root, bundle, setup).
#include <cstdio>
#include <filesystem>

#include "author/keys.h"
#include "cmd/command.h"
#include "os/file_ops.h"
#include "os/output_file.h"

namespace ztpack {
namespace {

struct KeySpec {
  const char* name;
  unsigned bits;
  unsigned exponent;
};
constexpr CommandErrors kErrors{"keygen"};

constexpr KeySpec kKeys[] = {{"root", 2048, 65537}, {"bundle", 2048, 65537}, {"setup", 4096, 17}};

int RunKeygen(const std::string& dir, bool force) {
  std::error_code ec;
  std::filesystem::create_directories(fileops::U8Path(dir), ec);
  if (ec) return kErrors.Fail(kExitFailed, "cannot create " + dir + ": " + ec.message());
  if (!force) {
    for (const KeySpec& k : kKeys) {
      for (const char* ext : {".key", ".der"}) {
        std::string path = dir + "/" + k.name + ext;
        if (std::filesystem::exists(fileops::U8Path(path), ec)) {
          return kErrors.Fail(kExitFailed, path + " exists already (use --force to replace it)");
        }
      }
    }
  }
  const bool terminal = fileops::StderrIsTerminal();
  for (const KeySpec& k : kKeys) {
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
       auto dir = std::make_shared<std::string>();
       auto force = std::make_shared<bool>(false);
       app.add_option("--out", *dir, "Directory for NAME.key (PKCS#8 PEM) and NAME.der (public)")
           ->required();
       app.add_flag("--force", *force, "Replace existing key files");
       return [dir, force] { return RunKeygen(*dir, *force); };
     }}};

}  // namespace
}  // namespace ztpack
