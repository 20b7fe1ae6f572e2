#include "keys.h"

#include <cryptopp/base64.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "file_ops.h"

namespace ztpack {
namespace {

using support::Errorf;

// The DER bytes of a PEM file of the given label, or the input itself when it is not PEM.
// `label` receives the PEM label ("PRIVATE KEY", ...) or stays empty for DER input.
support::Result<std::string> Unarmor(std::string_view bytes, const std::string& what,
                                     std::string* label) {
  label->clear();
  size_t begin = bytes.find("-----BEGIN ");
  if (begin == std::string_view::npos) return std::string(bytes);
  size_t labelStart = begin + 11;
  size_t labelEnd = bytes.find("-----", labelStart);
  if (labelEnd == std::string_view::npos) {
    return Errorf("%s: PEM header at offset %zu is not closed with -----", what.c_str(), begin);
  }
  *label = std::string(bytes.substr(labelStart, labelEnd - labelStart));
  std::string footer = "-----END " + *label + "-----";
  size_t bodyStart = labelEnd + 5;
  size_t end = bytes.find(footer, bodyStart);
  if (end == std::string_view::npos) {
    return Errorf("%s: PEM block \"%s\" has no matching END line", what.c_str(), label->c_str());
  }
  std::string body(bytes.substr(bodyStart, end - bodyStart));
  if (body.find(':') != std::string::npos) {
    return Errorf("%s: encrypted or annotated PEM (headers in \"%s\") is not supported",
                  what.c_str(), label->c_str());
  }
  std::string der;
  CryptoPP::StringSource(body, true,
                         new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
  if (der.empty()) return Errorf("%s: PEM block \"%s\" is empty", what.c_str(), label->c_str());
  return der;
}

}  // namespace

support::Result<RsaPrivateKey> ParsePrivateKey(std::string_view bytes, const std::string& what) {
  std::string label;
  auto der = Unarmor(bytes, what, &label);
  if (!der) return support::Error{der.error()};
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
  if (!key.Validate(rng, 2)) return Errorf("%s: RSA private key fails its consistency check", what.c_str());
  return key;
}

support::Result<RsaPublicKey> ParsePublicKey(std::string_view bytes, const std::string& what) {
  std::string label;
  auto der = Unarmor(bytes, what, &label);
  if (!der) return support::Error{der.error()};
  RsaPublicKey key;
  try {
    CryptoPP::StringSource source(*der, true);
    key.BERDecode(source);
  } catch (const std::exception& e) {
    return Errorf("%s: not an RSA public key (X.509 SubjectPublicKeyInfo, DER or PEM): %s",
                  what.c_str(), e.what());
  }
  return key;
}

support::Result<RsaPrivateKey> LoadPrivateKey(const std::string& path) {
  auto bytes = ReadWholeFile(path);
  if (!bytes) return support::Error{bytes.error()};
  return ParsePrivateKey(*bytes, path);
}

support::Result<RsaPublicKey> LoadPublicKey(const std::string& path) {
  auto bytes = ReadWholeFile(path);
  if (!bytes) return support::Error{bytes.error()};
  return ParsePublicKey(*bytes, path);
}

namespace {
std::string Armor(const std::string& der, const char* label) {
  std::string b64;
  CryptoPP::StringSource(der, true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(b64),
                                                                true, 64));
  return std::string("-----BEGIN ") + label + "-----\n" + b64 + "-----END " + label + "-----\n";
}
}  // namespace

std::string PrivateKeyDer(const RsaPrivateKey& key) {
  std::string der;
  CryptoPP::StringSink sink(der);
  key.DEREncode(sink);
  return der;
}

std::string PrivateKeyPem(const RsaPrivateKey& key) { return Armor(PrivateKeyDer(key), "PRIVATE KEY"); }

std::string PublicKeyDer(const RsaPublicKey& key) {
  std::string der;
  CryptoPP::StringSink sink(der);
  key.DEREncode(sink);
  return der;
}

std::string PublicKeyDer(const RsaPrivateKey& key) { return PublicKeyDer(RsaPublicKey(key)); }

std::string PublicKeyPem(const RsaPublicKey& key) { return Armor(PublicKeyDer(key), "PUBLIC KEY"); }

support::Result<RsaPrivateKey> GenerateKey(unsigned bits, unsigned exponent) {
  if (bits < 1024 || bits > 16384) return Errorf("key size %u bits is outside 1024..16384", bits);
  if (exponent < 3 || exponent % 2 == 0) return Errorf("public exponent %u is not an odd number >= 3", exponent);
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

unsigned ModulusBits(const RsaPublicKey& key) { return key.GetModulus().BitCount(); }

size_t SignatureLength(const RsaPrivateKey& key) { return key.GetModulus().ByteCount(); }

support::Result<std::string> SignSha1(const RsaPrivateKey& key, std::span<const uint8_t> message) {
  StreamingSigner signer(key);
  signer.Update(message.data(), message.size());
  return signer.Finish();
}

support::Result<std::string> SignSha1(const RsaPrivateKey& key, std::string_view message) {
  return SignSha1(key, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(message.data()),
                                                message.size()));
}

bool VerifySha1(const RsaPublicKey& key, std::span<const uint8_t> message,
                std::span<const uint8_t> signature) {
  try {
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(key);
    if (signature.size() != verifier.SignatureLength()) return false;
    return verifier.VerifyMessage(message.data(), message.size(), signature.data(),
                                  signature.size());
  } catch (const std::exception&) {
    return false;
  }
}

StreamingSigner::StreamingSigner(const RsaPrivateKey& key) : signer_(key) {
  CryptoPP::AutoSeededRandomPool rng;
  accumulator_.reset(signer_.NewSignatureAccumulator(rng));
}

StreamingSigner::~StreamingSigner() = default;

void StreamingSigner::Update(const uint8_t* data, size_t length) {
  if (accumulator_ && length > 0) accumulator_->Update(data, length);
}

support::Result<std::string> StreamingSigner::Finish() {
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

support::Result<std::string> ReadWholeFile(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(fileops::OpenStdio(path, "rb"), std::fclose);
  if (!in) {
    return Errorf("%s: cannot open for reading: %s", path.c_str(), fileops::LastErrorText().c_str());
  }
  std::string data;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) data.append(buffer, n);
  if (std::ferror(in.get())) return Errorf("%s: read failed", path.c_str());
  return data;
}

support::Status WriteFileAtomic(const std::string& path, std::string_view data, bool secret) {
  std::string temp = path + ".tmp-" + std::to_string(fileops::ProcessId());
  using Mode = fileops::RawFile::Mode;
  fileops::RawFile file = fileops::RawFile::Open(temp, secret ? Mode::kCreateSecret : Mode::kCreate);
  if (!file.IsOpen()) {
    return Errorf("%s: cannot create: %s", temp.c_str(), fileops::LastErrorText().c_str());
  }
  size_t done = 0;
  while (done < data.size()) {
    int64_t n = file.WriteAt(done, data.data() + done, data.size() - done);
    if (n <= 0) {
      std::string why = n < 0 ? fileops::LastErrorText() : "nothing written";
      file.Close();
      fileops::RemoveFile(temp);
      return Errorf("%s: write failed after %zu bytes: %s", temp.c_str(), done, why.c_str());
    }
    done += static_cast<size_t>(n);
  }
  if (!file.Close()) {
    std::string why = fileops::LastErrorText();
    fileops::RemoveFile(temp);
    return Errorf("%s: close failed: %s", temp.c_str(), why.c_str());
  }
  if (!fileops::RenameOnto(temp, path)) {
    std::string why = fileops::LastErrorText();
    fileops::RemoveFile(temp);
    return Errorf("%s: cannot rename into place: %s", path.c_str(), why.c_str());
  }
  return {};
}

}  // namespace ztpack
