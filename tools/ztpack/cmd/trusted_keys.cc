#include "cmd/trusted_keys.h"

#include "author/keys.h"
#include "cmd/command.h"
#include "read/stub_keys.h"

namespace ztpack {

std::vector<std::string> TrustedKeys::Lines() const {
  std::vector<std::string> lines;
  if (stubEmpty) {
    lines.push_back(placeProblem.empty()
                        ? "the installer's key place is empty: it trusts no key and refuses to run"
                        : placeProblem + ": the installer trusts no key");
    return lines;
  }
  if (!root.empty()) lines.push_back("root key " + rootLabel);
  if (!setup.empty()) lines.push_back("setup key " + setupLabel);
  return lines;
}

std::string MissingKeyMessage(const char* which, const char* option) {
  return std::string("no ") + which + " key to check with: give " + option +
         (std::string(option) == "--root-key" ? " (or set $ZTPACK_ROOT_KEY)" : "") +
         "; ztpack trusts no key of its own, and only a finished installer carries its keys";
}

support::Result<TrustedKeys> ResolveTrustedKeys(const std::string& file, bool installer,
                                                const std::string& rootOption,
                                                const std::string& setupOption) {
  std::string rootPath;
  auto root = RootKeyDer(rootOption, &rootPath);
  if (!root) return root.takeError();
  std::string setup;
  if (!setupOption.empty()) {
    auto key = LoadPublicKey(setupOption);
    if (!key) return key.takeError();
    setup = PublicKeyDer(*key);
  }
  TrustedKeys keys;
  if (!installer) {
    keys.root = *root;
    keys.setup = setup;
    if (!keys.root.empty()) keys.rootLabel = KeyFingerprint(keys.root) + " (" + rootPath + ")";
    if (!keys.setup.empty())
      keys.setupLabel = KeyFingerprint(keys.setup) + " (" + setupOption + ")";
    return keys;
  }
  auto place = ReadStubKeyPlace(file);
  keys.fromStub = true;
  keys.stubEmpty = !place || !place->keys.filled;
  if (!place) keys.placeProblem = place.error();
  if (place) keys.root = place->keys.root;
  if (place) keys.setup = place->keys.setup;
  if (!keys.stubEmpty) {
    keys.rootLabel = KeyFingerprint(keys.root) + " (the installer's stub)";
    keys.setupLabel = KeyFingerprint(keys.setup) + " (the installer's stub)";
  }
  struct Expected {
    const char* name;
    const std::string& want;
    const std::string& have;
    std::string source;
  } expected[] = {{"root", *root, keys.root,
                   rootOption.empty() ? "$ZTPACK_ROOT_KEY " + rootPath : "--root-key " + rootPath},
                  {"setup", setup, keys.setup, "--setup-key " + setupOption}};
  for (const Expected& e : expected) {
    if (e.want.empty() || e.want == e.have) continue;
    keys.mismatches.push_back(
        std::string(e.name) + " key: the installer trusts " +
        (e.have.empty() ? std::string("none (its key place is empty)") : KeyFingerprint(e.have)) +
        ", but " + KeyFingerprint(e.want) + " was expected (" + e.source + ")");
  }
  return keys;
}

}  // namespace ztpack
