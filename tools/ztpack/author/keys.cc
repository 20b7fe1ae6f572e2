#include "author/keys.h"

#include <cryptopp/base64.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "author/private_key_scan.h"
#include "os/file_ops.h"
#include "read/der.h"
#include "read/escape.h"

namespace ztpack {
namespace {

using support::Errorf;

}  // namespace

support::Result<RsaPrivateKey> ParsePrivateKey(std::string_view bytes, const std::string& what) {
  std::string label;
  auto der = Unarmor(bytes, what, &label);
  if (!der) return der.takeError();
  RsaPrivateKey key;
  try {
    CryptoPP::StringSource source(*der, true);
    if (label == "RSA PRIVATE KEY") {
      CryptoPP::ByteQueue queue;
      source.TransferTo(queue);
      key.BERDecodePrivateKey(queue, false, queue.MaxRetrievable());
    } else {
      key.BERDecode(source);
    }
  } catch (const std::exception& e) {
    return Errorf("%s: not an RSA private key (PKCS#8 or PKCS#1, DER or PEM): %s", what.c_str(),
                  e.what());
  }
  CryptoPP::AutoSeededRandomPool rng;
  if (!key.Validate(rng, 2))
    return Errorf("%s: RSA private key fails its consistency check", what.c_str());
  return key;
}

support::Result<RsaPrivateKey> LoadPrivateKey(const std::string& path) {
  auto bytes = fileops::ReadWholeFile(path);
  if (!bytes) return bytes.takeError();
  return ParsePrivateKey(*bytes, path);
}

namespace {
std::string Armor(const std::string& der, const char* label) {
  std::string b64;
  CryptoPP::StringSource(der, true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(b64), true, 64));
  return std::string("-----BEGIN ") + label + "-----\n" + b64 + "-----END " + label + "-----\n";
}
}  // namespace

std::string PrivateKeyDer(const RsaPrivateKey& key) {
  std::string der;
  CryptoPP::StringSink sink(der);
  key.DEREncode(sink);
  return der;
}

std::string PrivateKeyPem(const RsaPrivateKey& key) {
  return Armor(PrivateKeyDer(key), "PRIVATE KEY");
}

std::string PublicKeyDer(const RsaPrivateKey& key) { return PublicKeyDer(RsaPublicKey(key)); }

std::string PublicKeyPem(const RsaPublicKey& key) { return Armor(PublicKeyDer(key), "PUBLIC KEY"); }

support::Result<RsaPrivateKey> GenerateKey(unsigned bits, unsigned exponent) {
  if (bits < 1024 || bits > 16384) return Errorf("key size %u bits is outside 1024..16384", bits);
  if (exponent < 3 || exponent % 2 == 0)
    return Errorf("public exponent %u is not an odd number >= 3", exponent);
  CryptoPP::AutoSeededRandomPool rng;
  RsaPrivateKey key;
  try {
    key.Initialize(rng, bits, CryptoPP::Integer(exponent));
  } catch (const std::exception& e) {
    return Errorf("generating a %u-bit key failed: %s", bits, e.what());
  }
  if (!key.Validate(rng, 3)) return Errorf("the generated %u-bit key fails its check", bits);
  return key;
}

size_t SignatureLength(const RsaPrivateKey& key) { return key.GetModulus().ByteCount(); }

namespace {

// A private key in memory.
class MemoryOperation : public SignatureOperation {
 public:
  explicit MemoryOperation(const RsaPrivateKey& key) : signer_(key) {
    CryptoPP::AutoSeededRandomPool rng;
    accumulator_.reset(signer_.NewSignatureAccumulator(rng));
  }
  void Update(const uint8_t* data, size_t length) override {
    if (accumulator_ && length > 0) accumulator_->Update(data, length);
  }
  support::Result<std::string> Finish() override {
    if (!accumulator_) return Errorf("signer used after Finish");
    std::string signature(signer_.SignatureLength(), '\0');
    try {
      // The random pool only blinds the private-key operation; PKCS #1 v1.5 output is the same.
      CryptoPP::AutoSeededRandomPool rng;
      size_t n = signer_.Sign(rng, accumulator_.release(),
                              reinterpret_cast<CryptoPP::byte*>(signature.data()));
      signature.resize(n);
    } catch (const std::exception& e) {
      return Errorf("signing failed: %s", e.what());
    }
    return signature;
  }

 private:
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer_;
  std::unique_ptr<CryptoPP::PK_MessageAccumulator> accumulator_;
};

class MemoryKey : public KeyHolder {
 public:
  MemoryKey(const RsaPrivateKey& key, std::string description)
      : key_(key), public_(key), description_(std::move(description)) {}
  const RsaPublicKey& publicKey() const override { return public_; }
  const std::string& description() const override { return description_; }
  std::unique_ptr<SignatureOperation> Start() const override {
    return std::make_unique<MemoryOperation>(key_);
  }

 private:
  RsaPrivateKey key_;
  RsaPublicKey public_;
  std::string description_;
};

}  // namespace

SigningKey::SigningKey(const RsaPrivateKey& key, std::string description)
    : holder_(std::make_shared<MemoryKey>(key, std::move(description))) {}

size_t SignatureLength(const SigningKey& key) { return key.publicKey().GetModulus().ByteCount(); }

std::string PublicKeyDer(const SigningKey& key) { return PublicKeyDer(key.publicKey()); }

const char* KeyRoleName(KeyRole role) {
  switch (role) {
    case KeyRole::kRoot: return "root";
    case KeyRole::kBundle: return "bundle";
    case KeyRole::kSetup: return "setup";
  }
  return "?";
}

support::Status CheckKeyFitness(const RsaPublicKey& key, KeyRole role,
                                const std::string& description) {
  const unsigned bits = role == KeyRole::kSetup ? 4096 : 2048;
  const unsigned long exponent = role == KeyRole::kSetup ? 17 : 65537;
  const unsigned haveBits = ModulusBits(key);
  const CryptoPP::Integer& e = key.GetPublicExponent();
  if (haveBits == bits && e == CryptoPP::Integer(static_cast<CryptoPP::word>(exponent))) return {};
  std::string haveExponent = CryptoPP::IntToString<CryptoPP::Integer>(e, 10);
  return Errorf(
      "%s: a %u-bit key with exponent %s cannot serve as the %s key: the installer "
      "needs %u bits and exponent %lu",
      description.c_str(), haveBits, haveExponent.c_str(), KeyRoleName(role), bits, exponent);
}

support::Result<std::string> SignSha1(const SigningKey& key, std::span<const uint8_t> message) {
  StreamingSigner signer(key);
  signer.Update(message.data(), message.size());
  return signer.Finish();
}

support::Result<std::string> SignSha1(const SigningKey& key, std::string_view message) {
  return SignSha1(key, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(message.data()),
                                                message.size()));
}

StreamingSigner::StreamingSigner(const SigningKey& key) : operation_(key.Start()) {}

StreamingSigner::~StreamingSigner() = default;

void StreamingSigner::Update(const uint8_t* data, size_t length) {
  if (!operation_) return;
  detector_.Update(data, length);
  operation_->Update(data, length);
}

support::Result<std::string> StreamingSigner::Finish() {
  if (!operation_) return Errorf("signer used after Finish");
  uint8_t digest[support::DetectingSha1::DIGESTSIZE];
  collisionAt_ = detector_.FinalChecked(digest);
  if (collisionAt_) {
    operation_.reset();
    return Errorf("%s of the signed bytes: refused to sign one half of a SHA-1 collision",
                  support::CollisionText(*collisionAt_).c_str());
  }
  auto signature = operation_->Finish();
  operation_.reset();
  return signature;
}

support::Result<std::string> PrivateKeyKind(const std::string& path) {
  fileops::RawFile in = fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead);
  if (!in.IsOpen()) {
    return Errorf("%s: cannot open for reading: %s", path.c_str(),
                  fileops::LastErrorText().c_str());
  }
  constexpr size_t kPiece = 1 << 20;
  std::string piece(kPiece, '\0');
  PrivateKeyScanner scanner;
  for (uint64_t offset = 0;;) {
    const int64_t got = in.ReadAt(offset, piece.data(), kPiece);
    if (got < 0) {
      return Errorf("%s: read at 0x%llx failed: %s", path.c_str(),
                    static_cast<unsigned long long>(offset), fileops::LastErrorText().c_str());
    }
    if (got == 0) break;
    scanner.Feed(std::string_view(piece.data(), static_cast<size_t>(got)));
    offset += static_cast<uint64_t>(got);
  }
  return scanner.Finish();
}

support::Status CheckAllowedPrivateKeyNames(const std::vector<std::string>& allowed,
                                            const std::vector<std::string>& entries,
                                            const std::string& option) {
  for (const std::string& name : allowed) {
    if (std::find(entries.begin(), entries.end(), name) == entries.end()) {
      return Errorf("%s names \"%s\", which is no entry of the payload", option.c_str(),
                    EscapeText(name).c_str());
    }
  }
  return {};
}

std::string DescribeAllowedPrivateKey(const std::string& entry, const std::string& kind) {
  const std::string name = "\"" + EscapeText(entry) + "\"";
  return kind.empty() ? "allowed to hold a private key: entry " + name + " holds none"
                      : "private key shipped on purpose: entry " + name + " holds " + kind;
}

}  // namespace ztpack
