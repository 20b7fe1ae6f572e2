#include "read/public_key.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/pssr.h>

#include "bundle/bundle_format.h"
#include "os/file_ops.h"
#include "support/byte_reader.h"
#include "support/detecting_sha1.h"

namespace ztpack {

using support::Errorf;

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
  CryptoPP::StringSource(body, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
  if (der.empty()) return Errorf("%s: PEM block \"%s\" is empty", what.c_str(), label->c_str());
  return der;
}

support::Result<RsaPublicKey> ParsePublicKey(std::string_view bytes, const std::string& what) {
  std::string label;
  auto der = Unarmor(bytes, what, &label);
  if (!der) return der.takeError();
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

support::Result<RsaPublicKey> LoadPublicKey(const std::string& path) {
  auto bytes = fileops::ReadWholeFile(path);
  if (!bytes) return bytes.takeError();
  return ParsePublicKey(*bytes, path);
}

std::string PublicKeyDer(const RsaPublicKey& key) {
  std::string der;
  CryptoPP::StringSink sink(der);
  key.DEREncode(sink);
  return der;
}

unsigned ModulusBits(const RsaPublicKey& key) { return key.GetModulus().BitCount(); }

bool VerifySha1(const RsaPublicKey& key, std::span<const uint8_t> message,
                std::span<const uint8_t> signature) {
  try {
    CryptoPP::RSASS<CryptoPP::PKCS1v15, support::DetectingSha1>::Verifier verifier(key);
    if (signature.size() != verifier.SignatureLength()) return false;
    return verifier.VerifyMessage(message.data(), message.size(), signature.data(),
                                  signature.size());
  } catch (const std::exception&) {
    return false;
  }
}

support::Result<PublicKeyBlockFields> SplitPublicKeyBlock(const std::string& block) {
  support::ByteReader r{
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(block.data()), block.size())};
  if (block.size() < bundle::kMinPublicKeyBlock) {
    return Errorf("public key block: %zu bytes, fewer than the 16 of its fixed fields",
                  block.size());
  }
  PublicKeyBlockFields f;
  f.goal = block.substr(0, 4);
  f.expiry = *r.U32le(4);
  uint64_t c = *r.U32le(8);
  if (!r.Has(12, c)) {
    return Errorf("public key block: key length %llu at offset 8 overruns the %zu-byte block",
                  static_cast<unsigned long long>(c), block.size());
  }
  f.bundleKeyDer = block.substr(12, c);
  auto d = r.U32le(12 + c);
  if (!d || !r.Has(16 + c, *d)) {
    return Errorf("public key block: root signature length at offset %llu overruns the block",
                  static_cast<unsigned long long>(12 + c));
  }
  f.rootSignature = block.substr(16 + c, *d);
  return f;
}

}  // namespace ztpack
