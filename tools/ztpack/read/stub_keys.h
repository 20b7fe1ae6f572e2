// The keys an installer trusts, read from the key place of its stub (verify/key_place.h), and
// the checks that tie them to what a setup program carries: the certificate of its bundle's key
// and its own signature.
#pragma once

#include <cstdint>
#include <string>

#include "support/result.h"
#include "verify/key_place.h"

namespace ztpack {

struct StubKeyPlace {
  uint64_t offset = 0;  // file offset of the place's first byte
  verify::PlacedKeys keys;
};

// The key place of the stub or installer at `path`: the place alone in the section ".ztkeys".
// Fails naming what is missing (no such section, a section too small, no marker) or what the
// place states wrongly.
support::Result<StubKeyPlace> ReadStubKeyPlace(const std::string& path);

// "SHA256:" and the hexadecimal SHA-256 of a DER public key: how keys are named to people.
std::string KeyFingerprint(const std::string& der);

// The public key block of the bundle (IBND) at the end of the setup program at `setup`,
// checked against `rootDer` for the installer's goal tag: only the certificate, not the bundle's
// own signature. Fails saying what does not hold. A setup program without a bundle passes, with
// `*present` false.
support::Status CheckBundleCertifiedBy(const std::string& setup, const std::string& rootDer,
                                       bool* present = nullptr);
// The same for a bundle file of its own.
support::Status CheckBundleFileCertifiedBy(const std::string& bundlePath,
                                           const std::string& rootDer);

// The setup program's signature under `setupDer`, as the installer checks it. A setup program
// without a signature document passes, with `*present` false.
support::Status CheckSetupSignedBy(const std::string& setup, const std::string& setupDer,
                                   bool* present = nullptr);

}  // namespace ztpack
