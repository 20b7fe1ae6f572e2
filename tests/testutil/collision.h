// One half of a real SHA-1 collision (shattered-1.pdf from Debian's git source package, cached
// by scripts/sha1dc-source.sh at configure time), and a signer that has no collision detection:
// what an attacker holds once a key owner has signed the other half elsewhere.
#pragma once

#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <stdexcept>
#include <string>

#include "testutil/files.h"

namespace testutil {

// The block in which the attack shows (the second of the two colliding blocks at 0xC0 and
// 0x100), and the file's known SHA-1.
constexpr uint64_t kShatteredBlock = 0x100;
constexpr char kShatteredSha1[] = "38762cf7f55934b34d179ae6a4c80cadccbb7f0a";

// Its bytes; a missing file throws, so that a test fails loudly instead of passing without it.
inline std::string ShatteredPdf() {
  const std::string bytes = ReadFile(ZT_SHATTERED_PDF);
  if (bytes.size() != 422435) {
    throw std::runtime_error(std::string(ZT_SHATTERED_PDF) +
                             " is missing or damaged: run scripts/sha1dc-source.sh");
  }
  return bytes;
}

// RSASSA-PKCS1-v1_5 with plain SHA-1: the test-only signer.
inline std::string SignWithoutDetection(const CryptoPP::RSA::PrivateKey& key,
                                        const std::string& message) {
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer(key);
  CryptoPP::AutoSeededRandomPool rng;
  std::string signature(signer.SignatureLength(), '\0');
  signer.SignMessage(rng, reinterpret_cast<const CryptoPP::byte*>(message.data()), message.size(),
                     reinterpret_cast<CryptoPP::byte*>(signature.data()));
  return signature;
}

}  // namespace testutil
