// ztpack bundle: a signed bundle of the install script and the files it names.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include <ctime>
#include "author/bundle_writer.h"
#include "author/keys.h"
#include "author/pkcs11.h"
#include "author/store_once.h"
#include "cmd/command.h"
#include "os/file_ops.h"
#include "os/progress.h"
#include "read/script_check.h"

namespace ztpack {
namespace {

struct Options {
  std::string script, dir, key, cert, out;
  Pkcs11Options pkcs11;
  std::vector<std::string> entries;
  std::vector<std::string> allowPrivateKeys;  // entry names shipped although they hold a key
  uint32_t chunkSize = bundle::kDefaultWriterChunkSize;
  uint64_t junk = 0;
  int level = kDefaultCompressionLevel;
  unsigned threads = 0;
  bool storeOnce = false;
  bool keepCopies = false;  // what is now the default; still accepted
  std::string mode;
  bool quiet = false;
};

constexpr CommandErrors kErrors{"bundle"};

// Each file as listed (its identity): packed only when the file opened then is this one. A name
// given that is itself a link is taken as the file it leads to now.
support::Result<BundleInput> Listed(const std::string& name, std::string path) {
  if (fileops::IsLink(path)) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(fileops::U8Path(path), ec);
    if (ec)
      return support::Errorf("%s: the link cannot be followed: %s", path.c_str(),
                             ec.message().c_str());
    path = fileops::U8String(target);
  }
  auto identity = fileops::IdentityOf(path, false);
  if (!identity) return support::Errorf("%s: %s", path.c_str(), identity.error().c_str());
  return BundleInput{name, path, std::nullopt, *identity};
}

// One run of the command, part after part; a part that ends it returns its exit code.
class BundleCommand {
 public:
  explicit BundleCommand(const Options& options) : options_(options) {}

  int Run() {
    if (auto bad = FirstUnreadable({options_.script, options_.cert}); !bad.empty()) {
      return kErrors.Fail(kExitUnusable, bad);
    }
    for (Part part :
         {&BundleCommand::ListInputs, &BundleCommand::ListDirectory, &BundleCommand::CheckNames,
          &BundleCommand::RefuseSecrets, &BundleCommand::OpenKeyAndCertificate,
          &BundleCommand::CheckScriptFirst, &BundleCommand::Write}) {
      if (auto exit = (this->*part)()) return *exit;
    }
    return kExitOk;
  }

 private:
  using Exit = std::optional<int>;
  using Part = Exit (BundleCommand::*)();

  Exit ListInputs();
  Exit ListDirectory();
  Exit CheckNames();
  Exit RefuseSecrets();
  Exit OpenKeyAndCertificate();
  Exit CheckScriptFirst();
  Exit Write();

  const Options& options_;
  std::vector<BundleInput> inputs_;  // the script first
  std::vector<NeverPacked> neverPacked_;
  std::optional<SigningKey> key_;
  std::string cert_;
  uint32_t expiry_ = 0;  // the certificate's
};

BundleCommand::Exit BundleCommand::ListInputs() {
  auto script = Listed("install_script", options_.script);
  if (!script) return kErrors.Fail(kExitUnusable, script.error());
  inputs_.push_back(std::move(*script));
  for (const std::string& argument : options_.entries) {
    size_t eq = argument.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == argument.size()) {
      return kErrors.Fail(kExitUnusable, "--entry \"" + argument + "\" is not NAME=PATH");
    }
    auto entry = Listed(argument.substr(0, eq), argument.substr(eq + 1));
    if (!entry) return kErrors.Fail(kExitUnusable, "--entry " + argument + ": " + entry.error());
    inputs_.push_back(std::move(*entry));
  }
  return std::nullopt;
}

BundleCommand::Exit BundleCommand::ListDirectory() {
  if (options_.dir.empty()) return std::nullopt;
  std::error_code ec;
  std::vector<std::pair<std::string, std::string>> files;
  const std::filesystem::path dir = fileops::U8Path(options_.dir);
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    // Links are refused, not followed: std::filesystem follows them on Windows.
    if (fileops::IsLink(fileops::U8String(it->path()))) {
      return kErrors.Fail(kExitFailed, "--dir " + options_.dir + ": " +
                                           fileops::U8String(it->path()) +
                                           ": symbolic links are not packed");
    }
    if (!it->is_regular_file()) continue;
    files.push_back({fileops::U8GenericString(std::filesystem::relative(it->path(), dir)),
                     fileops::U8String(it->path())});
  }
  if (ec) return kErrors.Fail(kExitUnusable, "--dir " + options_.dir + ": " + ec.message());
  std::sort(files.begin(), files.end());  // deterministic order
  for (auto& [name, path] : files) {
    auto identity = fileops::IdentityOf(path, false);
    if (!identity) return kErrors.Fail(kExitUnusable, path + ": " + identity.error());
    inputs_.push_back({name, path, std::nullopt, *identity});
  }
  return std::nullopt;
}

BundleCommand::Exit BundleCommand::CheckNames() {
  std::set<std::string> seen;
  for (const BundleInput& in : inputs_) {
    if (in.name.size() > bundle::kMaxNameLength) {
      return kErrors.Fail(kExitFailed, "entry name \"" + in.name + "\" is longer than 255 bytes");
    }
    if (!seen.insert(in.name).second) {
      kErrors.Say("warning: entry \"" + in.name + "\" given twice; readers use the first");
    }
  }
  std::vector<std::string> entryNames;
  for (const BundleInput& in : inputs_) entryNames.push_back(in.name);
  if (auto s =
          CheckAllowedPrivateKeyNames(options_.allowPrivateKeys, entryNames, "--allow-private-key");
      !s) {
    return kErrors.Fail(kExitUnusable, s.error());
  }
  // Entries named by --allow-private-key ship whatever they hold, and are listed.
  const std::vector<std::string>& allowed = options_.allowPrivateKeys;
  for (BundleInput& in : inputs_) {
    in.mayHoldPrivateKey = std::find(allowed.begin(), allowed.end(), in.name) != allowed.end();
  }
  return std::nullopt;
}

// A private key among the entries would be handed out by every installer: the key file given
// (by identity, so also under another name) is refused now, and again by the packer for the
// file it opens, which also looks for a key in the bytes it packs.
BundleCommand::Exit BundleCommand::RefuseSecrets() {
  if (!IsPkcs11Uri(options_.key)) {
    if (auto id = fileops::IdentityOf(options_.key, true)) {
      neverPacked_.push_back({*id, "the private key " + options_.key});
    }
  }
  for (const BundleInput& in : inputs_) {
    for (const NeverPacked& never : neverPacked_) {
      if (never.identity == *in.identity) {
        return kErrors.Fail(kExitFailed, "entry \"" + in.name + "\": " + in.path + " is " +
                                             never.what + ": a private key is never packed");
      }
    }
  }
  return std::nullopt;
}

BundleCommand::Exit BundleCommand::OpenKeyAndCertificate() {
  auto key = OpenSigningKey(options_.key, KeyRole::kBundle, options_.pkcs11);
  if (!key) return kErrors.Fail(kExitUnusable, key.error());
  auto cert = fileops::ReadWholeFile(options_.cert);
  if (!cert) return kErrors.Fail(kExitUnusable, cert.error());
  auto fields = SplitPublicKeyBlock(*cert);
  if (!fields) return kErrors.Fail(kExitUnusable, options_.cert + ": " + fields.error());
  if (fields->bundleKeyDer != PublicKeyDer(*key)) {
    return kErrors.Fail(kExitFailed,
                        options_.cert + " certifies a different key than " + options_.key);
  }
  key_ = std::move(*key);
  cert_ = std::move(*cert);
  expiry_ = fields->expiry;
  return std::nullopt;
}

BundleCommand::Exit BundleCommand::CheckScriptFirst() {
  // The script, read once, checked as the installer reads it against the entries being packed,
  // and packed from the same bytes.
  auto scriptBytes = ReadPayloadFile(inputs_[0].path, *inputs_[0].identity, neverPacked_);
  if (!scriptBytes) return kErrors.Fail(kExitFailed, "install script: " + scriptBytes.error());
  auto lines = ReadScriptAsInstaller(*scriptBytes, options_.script);
  if (!lines) return kErrors.Fail(kExitUnusable, lines.error());
  inputs_[0].data = std::move(*scriptBytes);
  std::vector<std::string> names;
  for (const BundleInput& in : inputs_) names.push_back(in.name);
  std::vector<std::string> modes = {"gui", "silent"};
  if (!options_.mode.empty()) modes = {options_.mode};
  ScriptCheck check = CheckScript(*lines, names, modes);
  CheckExpiry(expiry_, std::time(nullptr), &check);
  for (const std::string& line : DescribeFindings(check)) {
    kErrors.Say(options_.script + ": " + line);
  }
  if (check.ErrorCount() > 0)
    return kErrors.Fail(
        kExitFailed,
        "the installer would refuse or skip what the install script says; nothing written");

  return std::nullopt;
}

BundleCommand::Exit BundleCommand::Write() {
  // After the check, which judges the script as written against every name given.
  if (options_.storeOnce) {
    auto once = StoreIdenticalOnce(&inputs_);
    if (!once) return kErrors.Fail(kExitFailed, once.error());
    for (const std::string& line : DescribeStoreOnce(*once)) std::printf("%s\n", line.c_str());
  }

  BundleOptions options;
  options.chunkSize = options_.chunkSize;
  options.junkLength = options_.junk;
  options.compressionLevel = options_.level;
  options.threads = options_.threads;
  options.checkPrivateKeys = true;
  options.neverPacked = neverPacked_;
  std::vector<std::string> allowedKeyLines;
  options.allowedKeyLines = &allowedKeyLines;
  ProgressMeter meter("bundle", 0, inputs_.size(), options_.quiet);
  options.progress = [&meter](uint64_t done, uint64_t total) {
    meter.SetTotals(total, 0);
    meter.Update(done, 0);
  };
  if (auto s = WriteBundle(options_.out, inputs_, *key_, cert_, options); !s)
    return kErrors.Fail(kExitFailed, s.error());
  for (const std::string& line : allowedKeyLines) std::printf("%s\n", line.c_str());
  return std::nullopt;
}

CommandRegistration registration{
    {"bundle", "Write a signed bundle: install script, entries, signature block",
     [](CLI::App& app) -> std::function<int()> {
       auto o = std::make_shared<Options>();
       app.add_option("--script", o->script, "The install script (entry \"install_script\")")
           ->required();
       app.add_option("--entry", o->entries, "An entry as NAME=PATH (repeatable)");
       app.add_option("--dir", o->dir,
                      "Add every file under this directory, named by its relative path");
       app.add_option("--allow-private-key", o->allowPrivateKeys,
                      "Ship the entry NAME although it holds a private key (a library's public "
                      "test key); repeatable, each one listed in the output");
       app.add_option("--key", o->key, std::string("Bundle private key: ") + kPrivateKeyForms)
           ->required();
       app.add_option("--pkcs11-module", o->pkcs11.module, kPkcs11ModuleHelp);
       app.add_option("--cert", o->cert, "Public key block from `ztpack certify`")->required();
       app.add_option("--chunk-size", o->chunkSize, "Inflated bytes per chunk (default 1 MiB)")
           ->check(CLI::Range(1u, bundle::kWorkerMaxChunkSize));
       app.add_option("--junk", o->junk, "Bytes of junk before the signature block (default 0)");
       app.add_option("--level", o->level, "compression level 0..12 (default 8)")
           ->check(CLI::Range(0, kMaxCompressionLevel));
       app.add_option("--threads", o->threads,
                      "Compressing threads (default: one per processor; the output is the same)");
       auto* storeOnce = app.add_flag(
           "--store-once", o->storeOnce,
           "Store a file identical to an earlier one only once: the directives naming it are "
           "rewritten to name the earlier entry, and its own name is gone from the bundle");
       // Stored every file when identical files were stored once by default; that is the default
       // now.
       app.add_flag("--keep-copies", o->keepCopies, "")->group("")->excludes(storeOnce);
       app.add_option("--out", o->out, "Output bundle")->required();
       app.add_option("--mode", o->mode,
                      "Run mode the script is checked for (default: both \"gui\" and \"silent\")");
       app.add_flag("--quiet,-q", o->quiet, "No progress on the terminal");
       return [o] { return BundleCommand(*o).Run(); };
     }}};

}  // namespace
}  // namespace ztpack
