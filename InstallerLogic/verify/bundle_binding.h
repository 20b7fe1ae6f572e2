// Binding a signed setup program to one bundle.
//
// The installer takes the bundle (`IBND`) from the end of the setup program, and the setup
// signature covers only the bytes in front of the `_SG2` document; without more, a signed setup
// program runs with any bundle the root key certified (another product's, or an older one). A
// setup program signed for one bundle names it by the SHA-1 that bundle's own signature signs
// (BundleReader::SignedDigest: every byte before its signature block), in two places:
//
//   - a `_BND` attachment directly in front of the `_SG2` document, its data the 40 upper-case
//     hex digits of the digest. It lies inside the signed bytes, so the setup signature covers
//     it: it can be neither changed nor removed without the signature failing.
//   - the document's "bundle" member, the same 40 digits, for whoever reads the document
//     ({"sign":"...","bundle":"..."}). The document is not signed, so the member alone proves
//     nothing; removing it leaves the signed binding in force.
//
// Every binding present must name the bundle the installer validated, or it refuses the bundle
// before extracting anything. A setup program without either behaves as before: it runs with any
// certified bundle. Older installers ignore both (an unknown attachment in the signed bytes, an
// unknown member), so a bound setup program still passes their checks.
//
// The bindings are read before the setup signature has been checked: the bytes are those of the
// held file, and the run stops later if the signature does not verify over them, so a binding
// that is not the signer's never lets a run through.
#pragma once

#include <string>

#include "platform/platform.h"

namespace verify {

inline constexpr char kBindingType[] = "_BND";
inline constexpr char kBundleMember[] = "bundle";
inline constexpr size_t kBindingTextSize = 40;  // hex digits of a SHA-1

struct BundleBinding {
  std::string signedDigest;  // the _BND data (40 hex digits), empty when there is none
  std::string memberDigest;  // the document's "bundle" member as written, empty when absent
  std::string problem;       // why a binding present could not be read: no bundle is accepted

  bool Bound() const { return !signedDigest.empty() || !memberDigest.empty() || !problem.empty(); }
};

// The bindings of the setup program, read through a handle reopened from `held` (the one that
// holds it against writes), or by path for tools.
BundleBinding ReadBundleBinding(const platform::File& held);
BundleBinding ReadBundleBinding(const std::u16string& path);

// 40 upper-case hex digits of a digest.
std::string DigestText(const std::string& digest);

// True when every binding present names the bundle whose SignedDigest is `bundleDigest` (20
// bytes); a setup program without a binding accepts any. Otherwise a trace line names both
// digests (or what could not be read) and `*why`, when given, receives the same text.
bool BindingAccepts(const BundleBinding& binding, const std::string& bundleDigest,
                    std::string* why = nullptr);

}  // namespace verify
