#include "author/manifest.h"

#include <filesystem>
#include <set>
#include <system_error>

#include <toml++/toml.h>

#include "author/keys.h"
#include "author/make_pipeline.h"
#include "author/pkcs11.h"
#include "bundle/bundle_format.h"
#include "os/file_ops.h"
#include "read/script_check.h"

namespace ztpack {
namespace fs = std::filesystem;
using fileops::U8Path;
using fileops::U8String;
namespace {

// A manifest's errors carry its name and the line they concern.
class ManifestErrors {
 public:
  explicit ManifestErrors(std::string path) : path_(std::move(path)) {}
  support::Error At(const toml::node* node, const std::string& message) const {
    if (node != nullptr && node->source().begin.line > 0) {
      return support::Errorf("%s:%u: %s", path_.c_str(),
                             static_cast<unsigned>(node->source().begin.line), message.c_str());
    }
    return support::Errorf("%s: %s", path_.c_str(), message.c_str());
  }

 private:
  std::string path_;
};

// Unknown keys are errors: a misspelt key must not silently fall back to a default.
support::Status CheckKeys(const toml::table& table, const std::set<std::string>& allowed,
                          const std::string& where, const ManifestErrors& errors) {
  for (const auto& [key, node] : table) {
    if (allowed.count(std::string(key.str())) == 0) {
      return errors.At(&node, "unknown key \"" + std::string(key.str()) + "\"" + where);
    }
  }
  return {};
}

// A string value; `required` false gives "" when absent.
support::Result<std::string> GetString(const toml::table& table, const char* key, bool required,
                                       const std::string& where, const ManifestErrors& errors) {
  const toml::node* node = table.get(key);
  if (node == nullptr) {
    if (required) return errors.At(&table, std::string("missing key \"") + key + "\"" + where);
    return std::string();
  }
  const auto* value = node->as_string();
  if (value == nullptr) return errors.At(node, std::string("\"") + key + "\" must be a string");
  if (value->get().empty()) return errors.At(node, std::string("\"") + key + "\" is empty");
  return value->get();
}

support::Result<uint32_t> GetU32(const toml::table& table, const char* key, uint32_t fallback,
                                 const ManifestErrors& errors) {
  const toml::node* node = table.get(key);
  if (node == nullptr) return fallback;
  const auto* value = node->as_integer();
  if (value == nullptr) return errors.At(node, std::string("\"") + key + "\" must be an integer");
  if (value->get() < 0 || value->get() > 0xFFFFFFFFll) {
    return errors.At(node, std::string("\"") + key + "\" must lie in 0..4294967295");
  }
  return static_cast<uint32_t>(value->get());
}

support::Result<bool> GetBool(const toml::table& table, const char* key, bool fallback,
                              const ManifestErrors& errors) {
  const toml::node* node = table.get(key);
  if (node == nullptr) return fallback;
  const auto* value = node->as_boolean();
  if (value == nullptr)
    return errors.At(node, std::string("\"") + key + "\" must be true or false");
  return value->get();
}

std::string Resolve(const fs::path& base, const std::string& path) {
  fs::path p = U8Path(path);
  return U8String((p.is_absolute() ? p : base / p).lexically_normal());
}

support::Status CheckRegularFile(const std::string& path, const toml::node* node,
                                 const ManifestErrors& errors) {
  std::error_code ec;
  if (!fs::is_regular_file(U8Path(path), ec))
    return errors.At(node, path + ": not a readable file");
  return {};
}

// A file named in the manifest as it is listed: its identity, which the file opened to pack it
// must have. A name that is itself a link (allowed for files named one by one) is taken as the
// file it leads to now, by that file's own path, so that it can be opened without following a
// link (BundleOptions).
support::Status ListNamedFile(std::string* path, fileops::FileId* identity, const toml::node* node,
                              const ManifestErrors& errors) {
  if (fileops::IsLink(*path)) {
    std::error_code ec;
    const fs::path target = fs::canonical(U8Path(*path), ec);
    if (ec) return errors.At(node, *path + ": the link cannot be followed: " + ec.message());
    *path = U8String(target);
  }
  auto id = fileops::IdentityOf(*path, false);
  if (!id) return errors.At(node, *path + ": " + id.error());
  *identity = *id;
  return {};
}

// Every regular file below `folder`, by entry name ("/" between directories) in byte order.
support::Status ListFolder(const std::string& folder, const toml::node* node,
                           const ManifestErrors& errors, Manifest* manifest) {
  std::error_code ec;
  const fs::path root = U8Path(folder);
  if (!fs::is_directory(root, ec)) return errors.At(node, folder + ": not a directory");
  std::vector<ManifestEntry> entries;
  fs::recursive_directory_iterator it(root, ec), end;
  if (ec) return errors.At(node, folder + ": cannot be listed: " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) return errors.At(node, folder + ": cannot be listed: " + ec.message());
    const fs::directory_entry& entry = *it;
    std::string relative = fileops::U8GenericString(fs::relative(entry.path(), root, ec));
    const std::string path = U8String(entry.path());
    // Not entry.is_symlink(): on Windows that follows links, so junctions and symbolic links
    // would be walked into and their files packed from outside the folder.
    if (fileops::IsLink(path)) return errors.At(node, path + ": symbolic links are not packed");
    if (entry.is_directory(ec)) continue;
    if (!entry.is_regular_file(ec)) return errors.At(node, path + ": not a regular file");
    auto identity = fileops::IdentityOf(path, false);
    if (!identity) return errors.At(node, path + ": " + identity.error());
    if (relative == "install_script") {
      manifest->script = path;
      manifest->scriptIdentity = *identity;
    } else {
      entries.push_back(ManifestEntry{relative, path, *identity});
    }
  }
  if (manifest->script.empty()) {
    return errors.At(node, folder + ": holds no \"install_script\"");
  }
  std::sort(entries.begin(), entries.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.name < b.name; });
  manifest->files = std::move(entries);
  return {};
}

support::Status ReadPayload(const toml::table& payload, const fs::path& base,
                            const ManifestErrors& errors, Manifest* manifest) {
  support::Status known =
      CheckKeys(payload, {"folder", "script", "files", "store_once", "allow_private_keys"},
                " in [payload]", errors);
  if (!known) return known;
  if (const toml::node* allowNode = payload.get("allow_private_keys")) {
    const toml::array* names = allowNode->as_array();
    if (names == nullptr) {
      return errors.At(allowNode, "\"allow_private_keys\" must be an array of entry names");
    }
    for (const toml::node& name : *names) {
      const auto* text = name.as_string();
      if (text == nullptr || text->get().empty()) {
        return errors.At(&name, "\"allow_private_keys\" holds a value that is no entry name");
      }
      manifest->allowPrivateKeys.push_back(text->get());
    }
  }
  auto storeOnce = GetBool(payload, "store_once", false, errors);
  if (!storeOnce) return storeOnce.takeError();
  manifest->storeOnce = *storeOnce;
  auto folder = GetString(payload, "folder", false, " in [payload]", errors);
  if (!folder) return folder.takeError();
  if (!folder->empty()) {
    if (payload.contains("script") || payload.contains("files")) {
      return errors.At(&payload, "[payload] takes either \"folder\" or \"script\" and \"files\"");
    }
    return ListFolder(Resolve(base, *folder), payload.get("folder"), errors, manifest);
  }
  auto script = GetString(payload, "script", true, " in [payload] (or give \"folder\")", errors);
  if (!script) return script.takeError();
  manifest->script = Resolve(base, *script);
  support::Status scriptOk = CheckRegularFile(manifest->script, payload.get("script"), errors);
  if (!scriptOk) return scriptOk;
  scriptOk =
      ListNamedFile(&manifest->script, &manifest->scriptIdentity, payload.get("script"), errors);
  if (!scriptOk) return scriptOk;
  if (const toml::node* filesNode = payload.get("files")) {
    const toml::table* files = filesNode->as_table();
    if (files == nullptr) {
      return errors.At(filesNode, "\"files\" must be a table of entry name = file path");
    }
    for (const auto& [name, node] : *files) {
      const auto* path = node.as_string();
      if (path == nullptr || path->get().empty()) {
        return errors.At(
            &node, "file of entry \"" + std::string(name.str()) + "\" must be a non-empty string");
      }
      if (name.str().empty() || name.str() == "install_script") {
        return errors.At(&node, "entry name \"" + std::string(name.str()) +
                                    "\" is empty or the install script's own");
      }
      ManifestEntry entry{std::string(name.str()), Resolve(base, path->get())};
      support::Status fileOk = CheckRegularFile(entry.path, &node, errors);
      if (!fileOk) return fileOk;
      fileOk = ListNamedFile(&entry.path, &entry.identity, &node, errors);
      if (!fileOk) return fileOk;
      manifest->files.push_back(std::move(entry));
    }
    std::sort(manifest->files.begin(), manifest->files.end(),
              [](const ManifestEntry& a, const ManifestEntry& b) { return a.name < b.name; });
  }
  return {};
}

support::Status ReadKeys(const toml::table& keys, const fs::path& base,
                         const ManifestErrors& errors, Manifest* manifest) {
  support::Status known = CheckKeys(keys, {"dir", "root", "bundle", "setup"}, " in [keys]", errors);
  if (!known) return known;
  auto dir = GetString(keys, "dir", false, " in [keys]", errors);
  if (!dir) return dir.takeError();
  struct Slot {
    const char* key;
    std::string* target;
  } slots[] = {{"root", &manifest->rootKey},
               {"bundle", &manifest->bundleKey},
               {"setup", &manifest->setupKey}};
  for (const Slot& slot : slots) {
    auto given = GetString(keys, slot.key, false, " in [keys]", errors);
    if (!given) return given.takeError();
    const toml::node* node = keys.get(slot.key);
    if (IsPkcs11Uri(*given)) {
      *slot.target = *given;  // a key in a token: opened when the installer is made
      continue;
    }
    if (!given->empty()) {
      *slot.target = Resolve(base, *given);
    } else if (!dir->empty()) {
      *slot.target = U8String(U8Path(Resolve(base, *dir)) / (std::string(slot.key) + ".key"));
      node = keys.get("dir");
    } else {
      return errors.At(&keys, std::string("[keys] names no \"") + slot.key +
                                  "\" key and no \"dir\" holding " + slot.key + ".key");
    }
    support::Status present = CheckRegularFile(*slot.target, node, errors);
    if (!present) return present;
  }
  return {};
}

support::Status ReadAuthenticode(const toml::table& table, const fs::path& base,
                                 const ManifestErrors& errors, Manifest* manifest) {
  const std::string where = " in [authenticode]";
  support::Status known = CheckKeys(table,
                                    {"certificate", "key", "pkcs12", "password_env",
                                     "timestamp_url", "description", "url", "ca_file"},
                                    where, errors);
  if (!known) return known;
  AuthenticodeSettings settings;
  struct Field {
    const char* key;
    std::string* target;
    bool isFile;
  } fields[] = {{"certificate", &settings.certificate, true},
                {"key", &settings.key, true},
                {"pkcs12", &settings.pkcs12, true},
                {"password_env", &settings.passwordEnv, false},
                {"timestamp_url", &settings.timestampUrl, false},
                {"description", &settings.description, false},
                {"url", &settings.url, false},
                {"ca_file", &settings.caFile, true}};
  for (const Field& field : fields) {
    auto value = GetString(table, field.key, false, where, errors);
    if (!value) return value.takeError();
    if (value->empty()) continue;
    const bool uri = field.target == &settings.key && IsPkcs11Uri(*value);
    if (!field.isFile || uri) {
      *field.target = *value;
      continue;
    }
    *field.target = Resolve(base, *value);
    support::Status present = CheckRegularFile(*field.target, table.get(field.key), errors);
    if (!present) return present;
  }
  const bool pair = !settings.certificate.empty() || !settings.key.empty();
  if (pair == !settings.pkcs12.empty()) {
    return errors.At(&table,
                     "[authenticode] takes either \"certificate\" and \"key\", or "
                     "\"pkcs12\"");
  }
  if (pair && (settings.certificate.empty() || settings.key.empty())) {
    return errors.At(&table, std::string("[authenticode] names no \"") +
                                 (settings.key.empty() ? "key" : "certificate") + "\"");
  }
  if (IsPkcs11Uri(settings.key) && !settings.passwordEnv.empty()) {
    return errors.At(table.get("password_env"),
                     "a pkcs11: key takes its PIN from the URI's pin-source or "
                     "$ZTPACK_PKCS11_PIN, not from \"password_env\"");
  }
  manifest->authenticode = std::move(settings);
  return {};
}

support::Status ReadPkcs11(const toml::table& table, const fs::path& base,
                           const ManifestErrors& errors, Manifest* manifest) {
  support::Status known = CheckKeys(table, {"module"}, " in [pkcs11]", errors);
  if (!known) return known;
  auto module = GetString(table, "module", false, " in [pkcs11]", errors);
  if (!module) return module.takeError();
  if (module->empty()) return {};
  manifest->pkcs11Module = Resolve(base, *module);
  return CheckRegularFile(manifest->pkcs11Module, table.get("module"), errors);
}

// [identity]: the icon, the version resource's strings and numbers, the manifest's settings.
support::Status ReadIdentityTable(const toml::table& table, const fs::path& base,
                                  const ManifestErrors& errors, Manifest* manifest) {
  static const std::pair<const char*, const char*> kStrings[] = {
      {"product_name", "ProductName"},       {"file_description", "FileDescription"},
      {"company_name", "CompanyName"},       {"legal_copyright", "LegalCopyright"},
      {"product_version", "ProductVersion"}, {"file_version", "FileVersion"}};
  support::Status known =
      CheckKeys(table,
                {"icon", "product_name", "file_description", "company_name", "legal_copyright",
                 "product_version", "file_version", "file_version_number", "product_version_number",
                 "execution_level", "dpi_awareness", "strings"},
                " in [identity]", errors);
  if (!known) return known;
  Identity& identity = manifest->identity;
  auto icon = GetString(table, "icon", false, " in [identity]", errors);
  if (!icon) return icon.takeError();
  if (!icon->empty()) {
    identity.icon = Resolve(base, *icon);
    if (auto ico = ReadIcoFile(identity.icon); !ico)
      return errors.At(table.get("icon"), ico.error());
  }
  for (const auto& [key, name] : kStrings) {
    auto value = GetString(table, key, false, " in [identity]", errors);
    if (!value) return value.takeError();
    if (!value->empty()) identity.strings.emplace_back(name, *value);
  }
  if (const toml::node* node = table.get("strings")) {
    const toml::table* strings = node->as_table();
    if (strings == nullptr) return errors.At(node, "\"strings\" must be a table of name = text");
    for (const auto& [name, value] : *strings) {
      const auto* text = value.as_string();
      if (text == nullptr || text->get().empty()) {
        return errors.At(&value, "version string \"" + std::string(name.str()) +
                                     "\" must be a string, not empty");
      }
      identity.strings.emplace_back(std::string(name.str()), text->get());
    }
  }
  for (auto [key, text, target] :
       {std::tuple{"file_version_number", "file_version", &identity.fileVersion},
        std::tuple{"product_version_number", "product_version", &identity.productVersion}}) {
    auto number = GetString(table, key, false, " in [identity]", errors);
    if (!number) return number.takeError();
    if (!number->empty()) {
      auto parsed = ParseVersionNumber(*number);
      if (!parsed) return errors.At(table.get(key), parsed.error());
      *target = *parsed;
    } else if (const auto* s = table.get(text) ? table.get(text)->as_string() : nullptr) {
      if (auto parsed = ParseVersionNumber(s->get())) *target = *parsed;
    }
  }
  for (auto [key, target] : {std::pair{"execution_level", &identity.executionLevel},
                             std::pair{"dpi_awareness", &identity.dpiAwareness}}) {
    auto value = GetString(table, key, false, " in [identity]", errors);
    if (!value) return value.takeError();
    *target = *value;
  }
  if (auto choices = CheckIdentityChoices(identity); !choices) {
    return errors.At(&table, choices.error());
  }
  return {};
}

// The top level's own keys: stub, setup, mode, output, bind_bundle.
support::Status ReadTopLevel(const toml::table& root, const fs::path& base,
                             const ManifestErrors& errors, Manifest* manifest) {
  support::Status known = CheckKeys(root,
                                    {"stub", "setup", "mode", "output", "bind_bundle", "payload",
                                     "keys", "bundle", "authenticode", "pkcs11", "identity"},
                                    "", errors);
  if (!known) return known;
  auto bind = GetBool(root, "bind_bundle", true, errors);
  if (!bind) return bind.takeError();
  manifest->bindBundle = *bind;
  // Without a "stub" the 32-bit front end installed beside the tool (or built in this tree).
  if (!root.contains("stub")) {
    std::string searched;
    manifest->stub = DefaultStub(&searched);
    if (manifest->stub.empty()) {
      return errors.At(&root, "no \"stub\" given, and no default stub in " + searched);
    }
  }
  struct Field {
    const char* key;
    std::string* target;
    bool isPath;
  } fields[] = {{"stub", &manifest->stub, true},
                {"setup", &manifest->setup, true},
                {"mode", &manifest->mode, false},
                {"output", &manifest->output, true}};
  for (const Field& field : fields) {
    if (field.target == &manifest->stub && !root.contains("stub")) continue;
    auto value = GetString(root, field.key, true, "", errors);
    if (!value) return value.takeError();
    *field.target = field.isPath ? Resolve(base, *value) : *value;
  }
  // The front end trims only the end of TYPE and runs silently for anything but "gui": a mode
  // such as " gui" or "Gui" would quietly do something else than it says.
  if (!IsAcceptedRunMode(manifest->mode)) {
    return errors.At(root.get("mode"), "\"mode\" must be exactly \"gui\" or \"silent\"");
  }
  for (const char* key : {"stub", "setup"}) {
    support::Status present = CheckRegularFile(
        key == std::string("stub") ? manifest->stub : manifest->setup, root.get(key), errors);
    if (!present) return present;
  }
  return {};
}

// [payload] and [keys], which every manifest has, then the optional tables but [bundle].
support::Status ReadTables(const toml::table& root, const fs::path& base,
                           const ManifestErrors& errors, Manifest* manifest) {
  const toml::table* payload = root["payload"].as_table();
  if (payload == nullptr) return errors.At(root.get("payload"), "missing table [payload]");
  support::Status payloadOk = ReadPayload(*payload, base, errors, manifest);
  if (!payloadOk) return payloadOk;

  const toml::table* keys = root["keys"].as_table();
  if (keys == nullptr) return errors.At(root.get("keys"), "missing table [keys]");
  support::Status keysOk = ReadKeys(*keys, base, errors, manifest);
  if (!keysOk) return keysOk;

  for (const char* name : {"pkcs11", "authenticode", "identity"}) {
    const toml::node* node = root.get(name);
    if (node == nullptr) continue;
    const toml::table* table = node->as_table();
    if (table == nullptr) return errors.At(node, std::string("\"") + name + "\" must be a table");
    support::Status read =
        name == std::string("pkcs11")     ? ReadPkcs11(*table, base, errors, manifest)
        : name == std::string("identity") ? ReadIdentityTable(*table, base, errors, manifest)
                                          : ReadAuthenticode(*table, base, errors, manifest);
    if (!read) return read;
  }
  return {};
}

// A private key among the payload files would be handed out by every installer; so would the
// file that holds a token's PIN. They are listed in manifest->neverPacked, by identity, and a
// payload file that is one of them is refused.
support::Status ListNeverPacked(const toml::table& payload, const ManifestErrors& errors,
                                Manifest* manifest) {
  std::vector<std::string> secrets;
  for (const std::string* key : {&manifest->rootKey, &manifest->bundleKey, &manifest->setupKey}) {
    if (!IsPkcs11Uri(*key)) secrets.push_back(*key);
  }
  std::vector<std::string> tokenKeys = {manifest->rootKey, manifest->bundleKey, manifest->setupKey};
  if (manifest->authenticode) tokenKeys.push_back(manifest->authenticode->key);
  std::vector<std::string> pinFiles;
  for (const std::string& key : tokenKeys) {
    if (auto pinFile = PinSourcePath(PinSourceOf(key)); pinFile) pinFiles.push_back(*pinFile);
  }
  if (manifest->authenticode) {
    for (const std::string* file :
         {&manifest->authenticode->key, &manifest->authenticode->pkcs12}) {
      if (!file->empty() && !IsPkcs11Uri(*file)) secrets.push_back(*file);
    }
  }
  std::vector<std::string> entryNames = {"install_script"};
  for (const ManifestEntry& file : manifest->files) entryNames.push_back(file.name);
  support::Status namesOk = CheckAllowedPrivateKeyNames(manifest->allowPrivateKeys, entryNames,
                                                        "[payload] allow_private_keys");
  if (!namesOk) return errors.At(payload.get("allow_private_keys"), namesOk.error());
  // By identity: the same file under another name (a hard link) is refused too. The packer
  // makes the same check on each file it opens (BundleOptions::neverPacked); a private key's
  // content is found there, on the bytes packed.
  for (const std::string& file : secrets) {
    auto id = fileops::IdentityOf(file, true);
    if (id) manifest->neverPacked.push_back({*id, "the private key " + file});
  }
  for (const std::string& file : pinFiles) {
    auto id = fileops::IdentityOf(file, true);
    if (id) manifest->neverPacked.push_back({*id, "the PIN file " + file + " of a token key"});
  }
  std::vector<std::pair<const std::string*, const fileops::FileId*>> payloadFiles = {
      {&manifest->script, &manifest->scriptIdentity}};
  for (const ManifestEntry& file : manifest->files)
    payloadFiles.push_back({&file.path, &file.identity});
  for (const auto& [file, identity] : payloadFiles) {
    for (const NeverPacked& never : manifest->neverPacked) {
      if (never.identity == *identity) {
        return errors.At(&payload,
                         "[payload]: " + *file + " is " + never.what + ": it is never packed");
      }
    }
  }
  return {};
}

// [bundle], optional: goal, expiry, chunk_size.
support::Status ReadBundleTable(const toml::table& root, const ManifestErrors& errors,
                                Manifest* manifest) {
  const toml::node* bundleNode = root.get("bundle");
  if (bundleNode == nullptr) return {};
  const toml::table* bundle = bundleNode->as_table();
  if (bundle == nullptr) return errors.At(bundleNode, "\"bundle\" must be a table");
  support::Status bundleKnown =
      CheckKeys(*bundle, {"goal", "expiry", "chunk_size", "level"}, " in [bundle]", errors);
  if (!bundleKnown) return bundleKnown;
  auto goal = GetString(*bundle, "goal", false, " in [bundle]", errors);
  if (!goal) return goal.takeError();
  if (!goal->empty()) {
    if (goal->size() != 4) return errors.At(bundle->get("goal"), "\"goal\" must be 4 characters");
    manifest->goal = *goal;
  }
  auto expiry = GetU32(*bundle, "expiry", 0, errors);
  if (!expiry) return expiry.takeError();
  manifest->expiry = *expiry;
  auto chunk = GetU32(*bundle, "chunk_size", 0, errors);
  if (!chunk) return chunk.takeError();
  if (bundle->contains("chunk_size") && (*chunk == 0 || *chunk > bundle::kWorkerMaxChunkSize)) {
    return errors.At(bundle->get("chunk_size"), "\"chunk_size\" must lie in 1.." +
                                                    std::to_string(bundle::kWorkerMaxChunkSize));
  }
  manifest->chunkSize = *chunk;
  auto level = GetU32(*bundle, "level", kDefaultCompressionLevel, errors);
  if (!level) return level.takeError();
  if (*level > kMaxCompressionLevel) {
    return errors.At(bundle->get("level"),
                     "\"level\" must lie in 0.." + std::to_string(kMaxCompressionLevel));
  }
  manifest->level = static_cast<int>(*level);
  return {};
}

}  // namespace

support::Result<Manifest> LoadManifest(const std::string& path) {
  ManifestErrors errors(path);
  toml::table root;
  // Read here rather than by toml++, which would open the path through the ANSI code page.
  auto text = fileops::ReadWholeFile(path);
  if (!text) return text.takeError();
  try {
    root = toml::parse(*text, path);
  } catch (const toml::parse_error& e) {
    return support::Errorf(
        "%s:%u:%u: %s", path.c_str(), static_cast<unsigned>(e.source().begin.line),
        static_cast<unsigned>(e.source().begin.column), std::string(e.description()).c_str());
  }
  const fs::path base = U8Path(path).parent_path();
  Manifest manifest;
  for (auto read : {ReadTopLevel, ReadTables}) {
    if (support::Status ok = read(root, base, errors, &manifest); !ok) {
      return ok.takeError();
    }
  }
  // [payload] is there: ReadTables made sure.
  if (support::Status ok = ListNeverPacked(*root["payload"].as_table(), errors, &manifest); !ok) {
    return ok.takeError();
  }
  if (support::Status ok = ReadBundleTable(root, errors, &manifest); !ok) {
    return ok.takeError();
  }
  return manifest;
}

}  // namespace ztpack
