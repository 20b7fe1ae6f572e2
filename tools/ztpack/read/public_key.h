// Public keys and the public key block as the reading side checks them: decoding an RSA public
// key (X.509 SubjectPublicKeyInfo, DER or PEM), verifying a PKCS #1 v1.5 signature with SHA-1,
// and splitting a bundle's public key block (bundle/bundle_format.h) into its fields. The
// writing side (author/keys.h, author/bundle_writer.h) builds on these.
#pragma once

#include <cryptopp/rsa.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "support/result.h"

namespace ztpack {

using RsaPublicKey = CryptoPP::RSA::PublicKey;

// The DER bytes of a PEM block, or the input itself when it is not PEM. `label` receives the
// PEM label ("PUBLIC KEY", ...) or stays empty for DER input; `what` names the input in errors.
support::Result<std::string> Unarmor(std::string_view bytes, const std::string& what,
                                     std::string* label);

// Decoding from bytes in memory (DER or PEM), and reading a key file.
support::Result<RsaPublicKey> ParsePublicKey(std::string_view bytes, const std::string& what);
support::Result<RsaPublicKey> LoadPublicKey(const std::string& path);

// SubjectPublicKeyInfo DER; bits in the modulus.
std::string PublicKeyDer(const RsaPublicKey& key);
unsigned ModulusBits(const RsaPublicKey& key);

// True when `signature` verifies `message` under `key` (never throws); false for a message in
// which a SHA-1 collision attack is detected.
bool VerifySha1(const RsaPublicKey& key, std::span<const uint8_t> message,
                std::span<const uint8_t> signature);

// The public key block: goal tag, expiry, the bundle key (DER SPKI) and the root signature over
// tag, expiry and key.
struct PublicKeyBlockFields {
  std::string goal;  // 4 characters
  uint32_t expiry = 0;
  std::string bundleKeyDer;
  std::string rootSignature;
};
// Splits a public key block into its fields (no signature check).
support::Result<PublicKeyBlockFields> SplitPublicKeyBlock(const std::string& block);

}  // namespace ztpack
