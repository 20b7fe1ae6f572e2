// RSA keys for the writing side: loading (DER or PEM), saving, generating, and PKCS #1 v1.5
// signatures with SHA-1, the one scheme every signature of the installer uses.
//
// Private keys are PKCS#8 PrivateKeyInfo (PEM label "PRIVATE KEY"); a PKCS#1
// RSAPrivateKey (PEM label "RSA PRIVATE KEY") is accepted as well. Public keys are X.509
// SubjectPublicKeyInfo (PEM label "PUBLIC KEY"), the form the installer carries built in.
// PKCS #1 v1.5 signatures are deterministic, so the same key and message give the same bytes.
//
// Whatever signs takes a SigningKey: a private key in memory (from a file), or one that a
// PKCS#11 token holds and never hands out (author/pkcs11.h). Both give the same signature for
// the same key, so an installer signed through a token equals the one signed from a file.
#pragma once

#include <cryptopp/pssr.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "read/public_key.h"
#include "support/detecting_sha1.h"
#include "support/result.h"

namespace ztpack {

using RsaPrivateKey = CryptoPP::RSA::PrivateKey;

// Decoding from bytes already in memory (DER or PEM); `what` names the input in errors. Public
// keys are read by read/public_key.h.
support::Result<RsaPrivateKey> ParsePrivateKey(std::string_view bytes, const std::string& what);
// Reading a key file (DER or PEM).
support::Result<RsaPrivateKey> LoadPrivateKey(const std::string& path);

// Encodings: PKCS#8 DER / PEM for private keys, SubjectPublicKeyInfo DER / PEM for public keys.
std::string PrivateKeyDer(const RsaPrivateKey& key);
std::string PrivateKeyPem(const RsaPrivateKey& key);
std::string PublicKeyDer(const RsaPrivateKey& key);  // the public half
std::string PublicKeyPem(const RsaPublicKey& key);

// A fresh key pair; validated before it is returned.
support::Result<RsaPrivateKey> GenerateKey(unsigned bits, unsigned exponent);

// Bits in the modulus, and the signature length in bytes (the modulus length).
size_t SignatureLength(const RsaPrivateKey& key);

// One signature being computed over a message fed in pieces.
class SignatureOperation {
 public:
  virtual ~SignatureOperation() = default;
  virtual void Update(const uint8_t* data, size_t length) = 0;
  // The signature; the operation cannot be used afterwards.
  virtual support::Result<std::string> Finish() = 0;
};

// Where a signing key lives: memory or a token.
class KeyHolder {
 public:
  virtual ~KeyHolder() = default;
  virtual const RsaPublicKey& publicKey() const = 0;
  // What the key is, for messages: a file path or a token URI (never a PIN).
  virtual const std::string& description() const = 0;
  virtual std::unique_ptr<SignatureOperation> Start() const = 0;
};

// A private key that signs with RSASSA-PKCS1-v1_5 and SHA-1, wherever it lives. Copies share the
// key. Made from an RsaPrivateKey implicitly, so that a key in memory serves wherever a
// SigningKey is taken.
class SigningKey {
 public:
  SigningKey(const RsaPrivateKey& key, std::string description = "private key");  // NOLINT
  explicit SigningKey(std::shared_ptr<const KeyHolder> holder) : holder_(std::move(holder)) {}

  const RsaPublicKey& publicKey() const { return holder_->publicKey(); }
  const std::string& description() const { return holder_->description(); }
  std::unique_ptr<SignatureOperation> Start() const { return holder_->Start(); }

 private:
  std::shared_ptr<const KeyHolder> holder_;
};

size_t SignatureLength(const SigningKey& key);
std::string PublicKeyDer(const SigningKey& key);

// What the front end needs of a key in each role: root and bundle 2048-bit, e=65537 (the root
// key is built into the front end as such); setup 4096-bit, e=17 (the 512-byte signature of the
// setup program's document).
enum class KeyRole { kRoot, kBundle, kSetup };
const char* KeyRoleName(KeyRole role);
// Refuses a key of another size or exponent than its role takes, naming key, size and exponent.
support::Status CheckKeyFitness(const RsaPublicKey& key, KeyRole role,
                                const std::string& description);

// RSASSA-PKCS1-v1_5 with SHA-1 over one message in memory. Refused, like StreamingSigner's
// Finish, when the message is half of a SHA-1 collision attack.
support::Result<std::string> SignSha1(const SigningKey& key, std::span<const uint8_t> message);
support::Result<std::string> SignSha1(const SigningKey& key, std::string_view message);

// The same signature over a message fed in pieces (large files are never held whole). The message
// is also hashed with collision detection: a key never signs one half of a SHA-1 collision, which
// would make its signature good for the other half too.
class StreamingSigner {
 public:
  explicit StreamingSigner(const SigningKey& key);
  ~StreamingSigner();
  StreamingSigner(const StreamingSigner&) = delete;
  StreamingSigner& operator=(const StreamingSigner&) = delete;

  void Update(const uint8_t* data, size_t length);
  // Ends the message and returns the signature; the signer cannot be used afterwards. Refused
  // without signing when a collision attack is detected; collisionAt() then names the offset
  // of its block in the message, for an error that says which file or entry holds it.
  support::Result<std::string> Finish();
  std::optional<uint64_t> collisionAt() const { return collisionAt_; }

 private:
  std::unique_ptr<SignatureOperation> operation_;
  support::DetectingSha1 detector_;
  std::optional<uint64_t> collisionAt_;
};

// Whether the file at `path` holds a private key, by its content (author/private_key_scan.h:
// a whole PEM key block anywhere in it, or the whole file one DER key, encrypted key or PKCS#12
// file). Empty when it holds none; else what it holds, for a message. Payload files are checked
// with it: a key packed by mistake would be handed out by every installer.
support::Result<std::string> PrivateKeyKind(const std::string& path);

// The names an author allows to hold private keys must each be one of the entries packed: a name
// that matches none is a mistake (a typo, a file since moved), refused rather than ignored.
// `option` names where the list comes from in the message.
support::Status CheckAllowedPrivateKeyNames(const std::vector<std::string>& allowed,
                                            const std::vector<std::string>& entries,
                                            const std::string& option);
// The line printed for each allowed entry: what it holds, so that every key shipped on purpose
// is in the build's output.
std::string DescribeAllowedPrivateKey(const std::string& entry, const std::string& kind);

}  // namespace ztpack
