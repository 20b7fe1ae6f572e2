// RSA keys for the writing side: loading (DER or PEM), saving, generating, and PKCS #1 v1.5
// signatures with SHA-1, the one scheme every signature of the installer uses.
//
// Private keys are PKCS#8 PrivateKeyInfo (PEM label "PRIVATE KEY"); a PKCS#1
// RSAPrivateKey (PEM label "RSA PRIVATE KEY") is accepted as well. Public keys are X.509
// SubjectPublicKeyInfo (PEM label "PUBLIC KEY"), the form the installer carries built in.
// PKCS #1 v1.5 signatures are deterministic, so the same key and message give the same bytes.
#pragma once

#include <cryptopp/pssr.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace ztpack {

using RsaPrivateKey = CryptoPP::RSA::PrivateKey;
using RsaPublicKey = CryptoPP::RSA::PublicKey;

// Decoding from bytes already in memory (DER or PEM); `what` names the input in errors.
support::Result<RsaPrivateKey> ParsePrivateKey(std::string_view bytes, const std::string& what);
support::Result<RsaPublicKey> ParsePublicKey(std::string_view bytes, const std::string& what);
// Reading a key file (DER or PEM).
support::Result<RsaPrivateKey> LoadPrivateKey(const std::string& path);
support::Result<RsaPublicKey> LoadPublicKey(const std::string& path);

// Encodings: PKCS#8 DER / PEM for private keys, SubjectPublicKeyInfo DER / PEM for public keys.
std::string PrivateKeyDer(const RsaPrivateKey& key);
std::string PrivateKeyPem(const RsaPrivateKey& key);
std::string PublicKeyDer(const RsaPublicKey& key);
std::string PublicKeyDer(const RsaPrivateKey& key);  // the public half
std::string PublicKeyPem(const RsaPublicKey& key);

// A fresh key pair; validated before it is returned.
support::Result<RsaPrivateKey> GenerateKey(unsigned bits, unsigned exponent);

// Bits in the modulus, and the signature length in bytes (the modulus length).
unsigned ModulusBits(const RsaPublicKey& key);
size_t SignatureLength(const RsaPrivateKey& key);

// RSASSA-PKCS1-v1_5 with SHA-1 over one message in memory.
support::Result<std::string> SignSha1(const RsaPrivateKey& key, std::span<const uint8_t> message);
support::Result<std::string> SignSha1(const RsaPrivateKey& key, std::string_view message);
// True when `signature` verifies `message` under `key` (never throws).
bool VerifySha1(const RsaPublicKey& key, std::span<const uint8_t> message,
                std::span<const uint8_t> signature);

// The same signature over a message fed in pieces (large files are never held whole).
class StreamingSigner {
 public:
  explicit StreamingSigner(const RsaPrivateKey& key);
  ~StreamingSigner();
  StreamingSigner(const StreamingSigner&) = delete;
  StreamingSigner& operator=(const StreamingSigner&) = delete;

  void Update(const uint8_t* data, size_t length);
  // Ends the message and returns the signature; the signer cannot be used afterwards.
  support::Result<std::string> Finish();

 private:
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer_;
  std::unique_ptr<CryptoPP::PK_MessageAccumulator> accumulator_;
};

// What makes a file a private key: a PEM block whose label ends in "PRIVATE KEY" anywhere in
// it ("PRIVATE KEY", "RSA PRIVATE KEY", "ENCRYPTED PRIVATE KEY", ...), or the whole file one DER
// PKCS#8 PrivateKeyInfo or PKCS#1 RSAPrivateKey (by structure; the numbers are not checked).
// Empty when it is none; else what it is, for a message. Payload files are checked with it: a
// key packed by mistake would be handed out by every installer.
support::Result<std::string> PrivateKeyKind(const std::string& path);

// Refuses a payload file that is one of `keyFiles` (the same file, by std::filesystem::equivalent)
// or whose content is a private key.
support::Status RefusePrivateKeyPayload(const std::string& path,
                                        const std::vector<std::string>& keyFiles);

}  // namespace ztpack
