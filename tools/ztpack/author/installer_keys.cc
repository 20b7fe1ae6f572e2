#include "author/installer_keys.h"

#include <vector>

#include "os/output_file.h"
#include "read/stub_keys.h"
#include "verify/key_place.h"

namespace ztpack {

support::Result<StubPatch> PlaceInstallerKeys(const std::string& stub, const InstallerKeys& keys,
                                              const std::function<void(const std::string&)>& note) {
  auto place = ReadStubKeyPlace(stub);
  if (!place) return place.takeError();
  if (keys.root.empty() != keys.setup.empty()) {
    return support::Errorf("give both the root and the setup public key, or neither");
  }
  InstallerKeys chosen = keys;
  if (chosen.root.empty()) {
    if (!place->keys.filled) {
      return support::Errorf(
          "%s: the stub's key place is empty and no keys were given: an installer that trusts no "
          "key refuses to run (give the root and setup public keys)",
          stub.c_str());
    }
    chosen = {place->keys.root, place->keys.setup};
  }
  auto bytes = verify::EncodeKeyPlace(chosen.root, chosen.setup);
  if (!bytes) return bytes.takeError();
  if (place->keys.filled && note &&
      (place->keys.root != chosen.root || place->keys.setup != chosen.setup)) {
    note("the stub's keys are replaced: root " + KeyFingerprint(place->keys.root) + " by " +
         KeyFingerprint(chosen.root) + ", setup " + KeyFingerprint(place->keys.setup) + " by " +
         KeyFingerprint(chosen.setup));
  }
  return StubPatch{place->offset, *bytes};
}

support::Status CheckWrittenKeys(OutputFile& out, const StubPatch& patch, const std::string& setup,
                                 const std::string& bundle) {
  std::vector<uint8_t> bytes(verify::kKeyPlaceSize);
  auto got = out.ReadAt(patch.offset, bytes.data(), bytes.size());
  if (!got || *got != bytes.size()) {
    return support::Errorf("%s: cannot read its key place back", out.target().c_str());
  }
  auto keys = verify::ParseKeyPlace(bytes);
  if (!keys) return support::Errorf("%s: %s", out.target().c_str(), keys.error().c_str());
  if (!keys->filled) return support::Errorf("%s: its key place is empty", out.target().c_str());
  support::Status certified = bundle.empty() ? CheckBundleCertifiedBy(setup, keys->root)
                                             : CheckBundleFileCertifiedBy(bundle, keys->root);
  if (!certified)
    return support::Errorf("the installer would refuse its bundle: %s", certified.error().c_str());
  support::Status signedOk = CheckSetupSignedBy(setup, keys->setup);
  if (!signedOk)
    return support::Errorf("the installer would refuse its setup program: %s",
                           signedOk.error().c_str());
  return {};
}

}  // namespace ztpack
