#include "read/authenticode.h"

#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "os/file_ops.h"
#include "read/der.h"
#include "read/pe_sections.h"

namespace ztpack {
namespace {

// The OIDs read here, as the content bytes of their DER encoding.
constexpr uint8_t kOidSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr uint8_t kOidSpcIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                           0x82, 0x37, 0x02, 0x01, 0x04};
constexpr uint8_t kOidContentType[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
constexpr uint8_t kOidMessageDigest[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
// rsaEncryption is 1.2.840.113549.1.1.1; sha1, sha256, sha384 and sha512 WithRSAEncryption end in
// 5, 11, 12 and 13 instead.
constexpr uint8_t kOidPkcs1Prefix[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};

struct NamedOid {
  std::span<const uint8_t> oid;
  const char* name;
};
constexpr uint8_t kSha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
constexpr uint8_t kSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr uint8_t kSha384[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
constexpr uint8_t kSha512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
constexpr uint8_t kMd5[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05};
constexpr NamedOid kDigestNames[] = {
    {kSha1, "sha1"}, {kSha256, "sha256"}, {kSha384, "sha384"}, {kSha512, "sha512"}, {kMd5, "md5"}};
constexpr uint8_t kCn[] = {0x55, 0x04, 0x03};
constexpr uint8_t kC[] = {0x55, 0x04, 0x06};
constexpr uint8_t kL[] = {0x55, 0x04, 0x07};
constexpr uint8_t kSt[] = {0x55, 0x04, 0x08};
constexpr uint8_t kO[] = {0x55, 0x04, 0x0A};
constexpr uint8_t kOu[] = {0x55, 0x04, 0x0B};
constexpr uint8_t kEmail[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01};
constexpr NamedOid kAttributeNames[] = {{kCn, "CN"},
                                        {kC, "C"},
                                        {kL, "L"},
                                        {kSt, "ST"},
                                        {kO, "O"},
                                        {kOu, "OU"},
                                        {kEmail, "emailAddress"}};

bool Same(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Unwraps a Result<Tlv> into `var`, or returns its error from the enclosing function.
#define ZT_DER(var, expr)                           \
  auto var##Result = (expr);                        \
  if (!var##Result) return var##Result.takeError(); \
  [[maybe_unused]] const Tlv var = *var##Result

// An OID in dotted form; "?" when an arc does not fit in 64 bits or the encoding is cut short.
std::string DottedOid(std::span<const uint8_t> oid) {
  std::string out;
  uint64_t value = 0;
  bool first = true;
  for (size_t i = 0; i < oid.size(); ++i) {
    if (value > (UINT64_MAX >> 7)) return "?";
    value = (value << 7) | (oid[i] & 0x7F);
    if (oid[i] & 0x80) continue;
    if (first) {
      const uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
      out = std::to_string(top) + "." + std::to_string(value - 40 * top);
      first = false;
    } else {
      out += "." + std::to_string(value);
    }
    value = 0;
  }
  return (first || (oid.back() & 0x80)) ? "?" : out;
}

const char* NameOf(std::span<const uint8_t> oid, std::span<const NamedOid> table) {
  for (const NamedOid& named : table) {
    if (Same(oid, named.oid)) return named.name;
  }
  return nullptr;
}

bool ValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t extra = c < 0x80         ? 0
                         : (c >> 5) == 6  ? 1
                         : (c >> 4) == 14 ? 2
                         : (c >> 3) == 30 ? 3
                                          : 9;
    if (extra == 9 || text.size() - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// A directory string as text a terminal shows safely: control bytes and the backslash as \xNN;
// bytes above ASCII kept only when the whole value is valid UTF-8.
std::string DirectoryString(const Tlv& value) {
  std::string text;
  if (value.tag == 0x1E) {  // BMPString: UTF-16 big-endian, of the basic plane
    for (size_t i = 0; i + 1 < value.content.size(); i += 2) {
      const unsigned u = (value.content[i] << 8) | value.content[i + 1];
      if (u < 0x80) {
        text.push_back(static_cast<char>(u));
      } else if (u < 0x800) {
        text.push_back(static_cast<char>(0xC0 | (u >> 6)));
        text.push_back(static_cast<char>(0x80 | (u & 0x3F)));
      } else if (u < 0xD800 || u > 0xDFFF) {
        text.push_back(static_cast<char>(0xE0 | (u >> 12)));
        text.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (u & 0x3F)));
      } else {
        text += "?";
      }
    }
  } else {
    text.assign(value.content.begin(), value.content.end());
  }
  const bool keepHigh = ValidUtf8(text);
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\\' || (c >= 0x80 && !keepHigh)) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// A Name (SEQUENCE OF RDN) as "CN=..., O=..., C=...": most specific first, as people write it.
support::Result<std::string> FormatName(const Tlv& name) {
  std::vector<std::string> rdns;
  Der names(name);
  while (!names.AtEnd()) {
    ZT_DER(rdn, names.Expect(0x31, "RelativeDistinguishedName"));
    Der attributes(rdn);
    std::string joined;
    while (!attributes.AtEnd()) {
      ZT_DER(pair, attributes.Expect(0x30, "AttributeTypeAndValue"));
      Der fields(pair);
      ZT_DER(type, fields.Expect(0x06, "attribute type"));
      ZT_DER(value, fields.Next("attribute value"));
      const char* known = NameOf(type.content, kAttributeNames);
      if (!joined.empty()) joined += "+";
      joined +=
          (known ? std::string(known) : DottedOid(type.content)) + "=" + DirectoryString(value);
    }
    rdns.push_back(joined);
  }
  std::string out;
  for (auto it = rdns.rbegin(); it != rdns.rend(); ++it) out += (out.empty() ? "" : ", ") + *it;
  return out;
}

// The fields of a certificate that name it and its key.
struct CertificateFields {
  Tlv serial, issuer, subject, publicKeyInfo;
};

std::optional<CertificateFields> ReadCertificate(std::span<const uint8_t> certificate) {
  Der top(certificate, 0);
  auto cert = top.Expect(0x30, "Certificate");
  if (!cert) return std::nullopt;
  Der certFields(*cert);
  auto tbs = certFields.Expect(0x30, "TBSCertificate");
  if (!tbs) return std::nullopt;
  Der t(*tbs);
  if (t.PeekTag() == 0xA0 && !t.Next("version")) return std::nullopt;
  auto serial = t.Expect(0x02, "serialNumber");
  auto algorithm = serial ? t.Expect(0x30, "signature") : serial;
  auto issuer = algorithm ? t.Expect(0x30, "issuer") : algorithm;
  auto validity = issuer ? t.Expect(0x30, "validity") : issuer;
  auto subject = validity ? t.Expect(0x30, "subject") : validity;
  auto key = subject ? t.Expect(0x30, "subjectPublicKeyInfo") : subject;
  if (!key) return std::nullopt;
  return CertificateFields{*serial, *issuer, *subject, *key};
}

std::string HexOf(std::span<const uint8_t> bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::unique_ptr<CryptoPP::HashTransformation> HashFor(const std::string& algorithm) {
  if (algorithm == "sha1") return std::make_unique<CryptoPP::SHA1>();
  if (algorithm == "sha256") return std::make_unique<CryptoPP::SHA256>();
  if (algorithm == "sha384") return std::make_unique<CryptoPP::SHA384>();
  if (algorithm == "sha512") return std::make_unique<CryptoPP::SHA512>();
  return nullptr;
}

template <class Hash>
bool VerifyRsa(const CryptoPP::RSA::PublicKey& key, std::span<const uint8_t> message,
               std::span<const uint8_t> signature) {
  typename CryptoPP::RSASS<CryptoPP::PKCS1v15, Hash>::Verifier verifier(key);
  return signature.size() == verifier.SignatureLength() &&
         verifier.VerifyMessage(message.data(), message.size(), signature.data(), signature.size());
}

bool VerifyRsa(const std::string& hash, const CryptoPP::RSA::PublicKey& key,
               std::span<const uint8_t> message, std::span<const uint8_t> signature) {
  try {
    if (hash == "sha1") return VerifyRsa<CryptoPP::SHA1>(key, message, signature);
    if (hash == "sha256") return VerifyRsa<CryptoPP::SHA256>(key, message, signature);
    if (hash == "sha384") return VerifyRsa<CryptoPP::SHA384>(key, message, signature);
    if (hash == "sha512") return VerifyRsa<CryptoPP::SHA512>(key, message, signature);
  } catch (const std::exception&) {
  }
  return false;
}

// The digest an RSA signature algorithm names: "" for rsaEncryption (the SignerInfo's digest
// algorithm decides), nullptr for any other algorithm.
const char* RsaSignatureDigest(std::span<const uint8_t> oid) {
  if (oid.size() != sizeof kOidPkcs1Prefix + 1 ||
      !std::equal(std::begin(kOidPkcs1Prefix), std::end(kOidPkcs1Prefix), oid.begin())) {
    return nullptr;
  }
  switch (oid.back()) {
    case 1: return "";
    case 5: return "sha1";
    case 11: return "sha256";
    case 12: return "sha384";
    case 13: return "sha512";
  }
  return nullptr;
}

// The one value of an attribute's SET, of the tag given.
support::Result<Tlv> SingleValue(const Tlv& values, uint8_t tag, const char* what) {
  Der v(values);
  ZT_DER(value, v.Expect(tag, what));
  if (!v.AtEnd()) return support::Errorf("%s holds more than one value", what);
  return value;
}

// The fields of a SignerInfo that its verification reads.
struct SignerFields {
  Tlv issuer, serial;  // of the IssuerAndSerialNumber naming the certificate
  Tlv digestOid, attributes, signatureOid, signature;
};

// The rest of the SignerInfo `si`, read up to its sid: a signer named by issuer and serial
// number, with signed attributes.
support::Result<SignerFields> ReadSignerFields(Der& si) {
  if (si.PeekTag() != 0x30) {
    return support::Errorf("the signer is named by a key identifier, which is not looked up here");
  }
  ZT_DER(signerId, si.Next("IssuerAndSerialNumber"));
  Der id(signerId);
  ZT_DER(issuer, id.Expect(0x30, "issuer"));
  ZT_DER(serial, id.Expect(0x02, "serialNumber"));
  ZT_DER(digestAlgorithm, si.Expect(0x30, "SignerInfo digestAlgorithm"));
  Der digestFields(digestAlgorithm);
  ZT_DER(digestOid, digestFields.Expect(0x06, "SignerInfo digest algorithm"));
  if (si.PeekTag() != 0xA0) return support::Errorf("the SignerInfo has no signed attributes");
  ZT_DER(attributes, si.Next("signed attributes"));
  ZT_DER(signatureAlgorithm, si.Expect(0x30, "SignerInfo signatureAlgorithm"));
  Der signatureFields(signatureAlgorithm);
  ZT_DER(signatureOid, signatureFields.Expect(0x06, "signature algorithm"));
  ZT_DER(signature, si.Expect(0x04, "SignerInfo signature"));
  return SignerFields{issuer, serial, digestOid, attributes, signatureOid, signature};
}

// The name of the signer's digest algorithm, when it is one checked here and the signature
// algorithm is RSA PKCS #1 v1.5 with no other digest.
support::Result<const char*> SignerDigestName(const SignerFields& signer) {
  const char* digestName = NameOf(signer.digestOid.content, kDigestNames);
  if (digestName == nullptr || HashFor(digestName) == nullptr) {
    return support::Errorf(
        "the signer's digest algorithm %s is not checked here",
        digestName != nullptr ? digestName : DottedOid(signer.digestOid.content).c_str());
  }
  const char* signatureDigest = RsaSignatureDigest(signer.signatureOid.content);
  if (signatureDigest == nullptr) {
    return support::Errorf("signature algorithm %s is not RSA PKCS #1 v1.5, not checked here",
                           DottedOid(signer.signatureOid.content).c_str());
  }
  if (*signatureDigest != '\0' && std::string(signatureDigest) != digestName) {
    return support::Errorf("signature algorithm with %s, digest algorithm %s", signatureDigest,
                           digestName);
  }
  return digestName;
}

// The value of the one messageDigest attribute among the signed attributes, which must also hold
// exactly one contentType, SpcIndirectDataContent.
support::Result<std::span<const uint8_t>> SignedMessageDigest(const Tlv& attributes) {
  int contentTypes = 0, messageDigests = 0;
  Der list(attributes);
  std::span<const uint8_t> messageDigest;
  while (!list.AtEnd()) {
    ZT_DER(attribute, list.Expect(0x30, "signed attribute"));
    Der fields(attribute);
    ZT_DER(type, fields.Expect(0x06, "signed attribute type"));
    ZT_DER(values, fields.Expect(0x31, "signed attribute values"));
    if (Same(type.content, kOidMessageDigest)) {
      ZT_DER(value, SingleValue(values, 0x04, "messageDigest"));
      messageDigest = value.content;
      ++messageDigests;
    } else if (Same(type.content, kOidContentType)) {
      ZT_DER(value, SingleValue(values, 0x06, "contentType"));
      if (!Same(value.content, kOidSpcIndirectData)) {
        return support::Errorf("the signed contentType %s is not SpcIndirectDataContent",
                               DottedOid(value.content).c_str());
      }
      ++contentTypes;
    }
  }
  if (messageDigests != 1 || contentTypes != 1) {
    return support::Errorf(
        "the signed attributes hold %d messageDigest and %d contentType attributes, not one each",
        messageDigests, contentTypes);
  }
  return messageDigest;
}

// The messageDigest must be the `digestName` digest of `content`.
support::Status CheckMessageDigest(const char* digestName, std::span<const uint8_t> content,
                                   std::span<const uint8_t> messageDigest) {
  auto hash = HashFor(digestName);
  std::vector<uint8_t> computed(hash->DigestSize());
  hash->CalculateDigest(computed.data(), content.data(), content.size());
  if (!Same(computed, messageDigest)) {
    return support::Errorf("the signed messageDigest is not the digest of the signed content");
  }
  return {};
}

// The certificate of the issuer and serial number the SignerInfo names, among those carried.
support::Result<CertificateFields> FindSignerCertificate(
    const SignerFields& signer, const std::vector<std::span<const uint8_t>>& certificates) {
  for (std::span<const uint8_t> certificate : certificates) {
    auto fields = ReadCertificate(certificate);
    if (fields && Same(fields->issuer.whole, signer.issuer.whole) &&
        Same(fields->serial.content, signer.serial.content)) {
      return *fields;
    }
  }
  return support::Errorf("the certificate the SignerInfo names is not among the %zu carried",
                         certificates.size());
}

// The signature over the signed attributes must verify with the RSA key of `certificate`.
support::Status CheckAttributesSignature(const SignerFields& signer, const char* digestName,
                                         const CertificateFields& certificate) {
  CryptoPP::RSA::PublicKey key;
  try {
    CryptoPP::ArraySource source(certificate.publicKeyInfo.whole.data(),
                                 certificate.publicKeyInfo.whole.size(), true);
    key.BERDecode(source);
  } catch (const std::exception&) {
    return support::Errorf("the signer's certificate holds no RSA public key");
  }
  // The signature covers the DER of the attributes as a SET OF, not as the [0] they are stored as.
  std::vector<uint8_t> signedBytes(signer.attributes.whole.begin(), signer.attributes.whole.end());
  signedBytes[0] = 0x31;
  if (!VerifyRsa(digestName, key, signedBytes, signer.signature.content)) {
    return support::Errorf(
        "the signature does not verify with the key of the certificate it names");
  }
  return {};
}

// Verifies the SignerInfo `si` (read up to its sid) over `content`, the value of the
// SpcIndirectDataContent: its messageDigest attribute must be the digest of `content`, and its
// signature over the signed attributes must verify with the key of the certificate it names.
// Sets `subject` to that certificate's subject. An error says why it is not verified.
support::Status VerifySigner(Der& si, std::span<const uint8_t> content,
                             const std::vector<std::span<const uint8_t>>& certificates,
                             std::string* subject) {
  auto signer = ReadSignerFields(si);
  if (!signer) return signer.takeError();
  auto digestName = SignerDigestName(*signer);
  if (!digestName) return digestName.takeError();
  auto messageDigest = SignedMessageDigest(signer->attributes);
  if (!messageDigest) return messageDigest.takeError();
  support::Status status = CheckMessageDigest(*digestName, content, *messageDigest);
  if (!status) return status;
  auto certificate = FindSignerCertificate(*signer, certificates);
  if (!certificate) return certificate.takeError();
  if (!(status = CheckAttributesSignature(*signer, *digestName, *certificate))) return status;
  auto name = FormatName(certificate->subject);
  if (!name) return name.takeError();
  *subject = *name;
  return {};
}

}  // namespace

support::Result<AuthenticodeSignedData> ParseAuthenticodeSignedData(std::span<const uint8_t> der) {
  // Trailing bytes are tolerated: a record's length may include the table's zero padding.
  Der top(der, 0);
  ZT_DER(contentInfo, top.Expect(0x30, "ContentInfo"));
  Der ci(contentInfo);
  ZT_DER(contentType, ci.Expect(0x06, "ContentInfo type"));
  if (!Same(contentType.content, kOidSignedData)) {
    return support::Errorf("ContentInfo type %s is not SignedData",
                           DottedOid(contentType.content).c_str());
  }
  ZT_DER(explicitContent, ci.Expect(0xA0, "ContentInfo content"));
  Der wrapper(explicitContent);
  ZT_DER(signedData, wrapper.Expect(0x30, "SignedData"));
  Der sd(signedData);
  ZT_DER(version, sd.Expect(0x02, "SignedData version"));
  ZT_DER(digestAlgorithms, sd.Expect(0x31, "SignedData digestAlgorithms"));
  ZT_DER(encapsulated, sd.Expect(0x30, "SignedData contentInfo"));
  Der enc(encapsulated);
  ZT_DER(encType, enc.Expect(0x06, "content type"));
  if (!Same(encType.content, kOidSpcIndirectData)) {
    return support::Errorf("content type %s is not SpcIndirectDataContent",
                           DottedOid(encType.content).c_str());
  }
  ZT_DER(encExplicit, enc.Expect(0xA0, "SpcIndirectDataContent wrapper"));
  Der encWrapper(encExplicit);
  ZT_DER(indirect, encWrapper.Expect(0x30, "SpcIndirectDataContent"));
  Der in(indirect);
  ZT_DER(attribute, in.Expect(0x30, "SpcAttributeTypeAndOptionalValue"));
  ZT_DER(digestInfo, in.Expect(0x30, "DigestInfo"));
  Der di(digestInfo);
  ZT_DER(algorithm, di.Expect(0x30, "DigestInfo algorithm"));
  Der alg(algorithm);
  ZT_DER(algorithmOid, alg.Expect(0x06, "digest algorithm"));
  ZT_DER(digest, di.Expect(0x04, "DigestInfo digest"));

  AuthenticodeSignedData out;
  const char* name = NameOf(algorithmOid.content, kDigestNames);
  out.digestAlgorithm = name ? name : DottedOid(algorithmOid.content);
  out.digest.assign(digest.content.begin(), digest.content.end());

  if (sd.PeekTag() == 0xA0) {
    ZT_DER(certificates, sd.Next("SignedData certificates"));
    Der certs(certificates);
    while (!certs.AtEnd()) {
      if (out.certificates.size() == kMaxCertificates) {
        return support::Errorf("SignedData carries more than %zu certificates", kMaxCertificates);
      }
      ZT_DER(cert, certs.Next("certificate"));
      out.certificates.push_back(cert.whole);
    }
  }
  if (sd.PeekTag() == 0xA1) {
    ZT_DER(crls, sd.Next("SignedData crls"));
  }
  ZT_DER(signerInfos, sd.Expect(0x31, "SignedData signerInfos"));
  Der infos(signerInfos);
  ZT_DER(signerInfo, infos.Expect(0x30, "SignerInfo"));
  if (!infos.AtEnd()) {
    out.signatureProblem = "the SignedData has more than one SignerInfo";
    return out;
  }
  Der si(signerInfo);
  ZT_DER(signerVersion, si.Expect(0x02, "SignerInfo version"));
  std::string subject;
  support::Status verified = VerifySigner(si, indirect.content, out.certificates, &subject);
  out.signatureVerified = verified.ok();
  if (verified) {
    out.signerSubject = subject;
  } else {
    out.signatureProblem = verified.error();
  }
  return out;
}

support::Result<std::span<const uint8_t>> FirstWinCertificate(std::span<const uint8_t> table) {
  if (table.size() < kWinCertHeaderSize) {
    return support::Errorf("certificate table of %zu bytes holds no WIN_CERTIFICATE header",
                           table.size());
  }
  const uint32_t length =
      table[0] | (table[1] << 8) | (table[2] << 16) | (static_cast<uint32_t>(table[3]) << 24);
  const uint16_t revision = static_cast<uint16_t>(table[4] | (table[5] << 8));
  const uint16_t type = static_cast<uint16_t>(table[6] | (table[7] << 8));
  if (length < kWinCertHeaderSize || length > table.size()) {
    return support::Errorf("WIN_CERTIFICATE length %u does not fit the table of %zu bytes", length,
                           table.size());
  }
  if (revision != kWinCertRevision2) {
    return support::Errorf("WIN_CERTIFICATE revision 0x%04x, expected 0x%04x", revision,
                           kWinCertRevision2);
  }
  if (type != kWinCertTypePkcsSignedData) {
    return support::Errorf("WIN_CERTIFICATE type 0x%04x is not PKCS_SIGNED_DATA", type);
  }
  return table.subspan(kWinCertHeaderSize, length - kWinCertHeaderSize);
}

support::Result<std::vector<uint8_t>> ComputeImageHash(const std::string& path,
                                                       const std::string& algorithm, uint64_t end) {
  auto hash = HashFor(algorithm);
  if (!hash) return support::Errorf("digest algorithm %s is not supported", algorithm.c_str());
  auto image = ReadPeImage(path);
  if (!image) return image.takeError();
  if (image->directories.size() <= kCertificateDirectory) {
    return support::Errorf("%s: the data directory has no security entry", path.c_str());
  }
  const uint64_t securityEntry = image->dataDirectoryOffset() + 8 * kCertificateDirectory;
  const std::pair<uint64_t, uint64_t> skipped[] = {{image->checkSumOffset(), 4},
                                                   {securityEntry, 8}};
  uint64_t position = 0;
  support::Status streamed =
      fileops::StreamFile(path, 0, end, [&](const uint8_t* data, size_t size) -> support::Status {
        const uint64_t start = position;
        position += size;
        uint64_t from = start;
        for (const auto& [skipAt, skipLength] : skipped) {
          const uint64_t skipEnd = skipAt + skipLength;
          if (skipEnd <= from || skipAt >= position) continue;
          if (skipAt > from)
            hash->Update(data + (from - start), static_cast<size_t>(skipAt - from));
          from = std::min(skipEnd, position);
        }
        if (from < position)
          hash->Update(data + (from - start), static_cast<size_t>(position - from));
        return {};
      });
  if (!streamed) return streamed.takeError();
  std::vector<uint8_t> digest(hash->DigestSize());
  hash->Final(digest.data());
  return digest;
}

support::Result<AuthenticodeReport> ReadAuthenticode(const std::string& path) {
  auto image = ReadPeImage(path);
  if (!image) return image.takeError();
  AuthenticodeReport report;
  auto entry = image->certificateTable();
  if (!entry || (entry->address == 0 && entry->size == 0)) return report;
  report.present = true;
  report.tableOffset = entry->address;
  report.tableSize = entry->size;
  const uint64_t tableEnd = report.tableOffset + report.tableSize;
  char text[200];
  if (entry->address == 0 || entry->size == 0) {
    std::snprintf(text, sizeof text, "the security entry names an empty table (%u bytes at 0x%x)",
                  entry->size, entry->address);
    report.problem = text;
    return report;
  }
  if (tableEnd > image->fileSize) {
    std::snprintf(text, sizeof text,
                  "certificate table 0x%llx..0x%llx lies past the end of the file (0x%llx)",
                  static_cast<unsigned long long>(report.tableOffset),
                  static_cast<unsigned long long>(tableEnd),
                  static_cast<unsigned long long>(image->fileSize));
    report.problem = text;
    return report;
  }
  if (report.tableSize > kMaxTableSize) {
    report.problem = "certificate table of " + std::to_string(report.tableSize) +
                     " bytes is larger than any signature read here";
    return report;
  }
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(report.tableSize));
  std::vector<uint8_t>& table = *bytes;
  fileops::RawFile file = fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead);
  if (!file.IsOpen() || file.ReadFullyAt(report.tableOffset, table.data(), table.size()) !=
                            static_cast<int64_t>(table.size())) {
    return support::Errorf("%s: cannot read the certificate table: %s", path.c_str(),
                           fileops::LastErrorText().c_str());
  }
  auto record = FirstWinCertificate(table);
  if (!record) {
    report.problem = record.error();
    return report;
  }
  auto parsed = ParseAuthenticodeSignedData(*record);
  if (!parsed) {
    report.problem = "PKCS#7 signature: " + parsed.error();
    return report;
  }
  report.signedData = std::move(*parsed);
  report.signedData.bytes = std::move(bytes);  // what the certificates' spans point into
  // The hash covers everything in front of the table; bytes behind it are covered by nothing.
  if (tableEnd < image->fileSize) {
    report.problem = std::to_string(image->fileSize - tableEnd) +
                     " byte(s) follow the certificate table, which must end the file";
  }
  auto computed = ComputeImageHash(path, report.signedData.digestAlgorithm, report.tableOffset);
  if (!computed) {
    if (report.problem.empty()) report.problem = computed.error();
    return report;
  }
  report.computedDigest = HexOf(*computed);
  report.digestMatches = *computed == report.signedData.digest;
  return report;
}

std::string DescribeAuthenticode(const AuthenticodeReport& report) {
  if (!report.present) return "none";
  const AuthenticodeSignedData& sd = report.signedData;
  std::string line;
  if (!sd.digestAlgorithm.empty()) {
    // A signer is named only when its signature verified: anyone can put a certificate in.
    line = sd.digestAlgorithm +
           (sd.signatureVerified
                ? ", signer " + sd.signerSubject
                : ", signature unverified (" + sd.signatureProblem + "), no signer named");
    if (!report.computedDigest.empty()) {
      line += report.digestMatches ? ", digest matches the file"
                                   : ", digest does NOT match the file (signed " +
                                         HexOf(sd.digest) + ", file " + report.computedDigest + ")";
    }
  }
  if (!report.problem.empty()) line += (line.empty() ? "" : "; ") + report.problem;
  return line;
}

nlohmann::json AuthenticodeJson(const AuthenticodeReport& report) {
  nlohmann::json j;
  j["present"] = report.present;
  if (!report.present) return j;
  const AuthenticodeSignedData& sd = report.signedData;
  j["table_offset"] = report.tableOffset;
  j["table_size"] = report.tableSize;
  j["digest_algorithm"] = sd.digestAlgorithm;
  j["signature_verified"] = sd.signatureVerified;
  j["signature_problem"] =
      sd.signatureProblem.empty() ? nlohmann::json(nullptr) : nlohmann::json(sd.signatureProblem);
  j["signer_subject"] = sd.signerSubject;
  j["certificates"] = sd.certificates.size();
  j["digest"] = HexOf(sd.digest);
  j["computed_digest"] = report.computedDigest;
  j["digest_matches"] = report.digestMatches;
  j["problem"] = report.problem.empty() ? nlohmann::json(nullptr) : nlohmann::json(report.problem);
  return j;
}

std::string CertificatesPem(const std::vector<std::span<const uint8_t>>& certificates) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (const auto& der : certificates) {
    std::string b64;
    for (size_t i = 0; i < der.size(); i += 3) {
      const uint32_t n = (der[i] << 16) | (i + 1 < der.size() ? der[i + 1] << 8 : 0) |
                         (i + 2 < der.size() ? der[i + 2] : 0);
      b64.push_back(alphabet[(n >> 18) & 63]);
      b64.push_back(alphabet[(n >> 12) & 63]);
      b64.push_back(i + 1 < der.size() ? alphabet[(n >> 6) & 63] : '=');
      b64.push_back(i + 2 < der.size() ? alphabet[n & 63] : '=');
    }
    out += "-----BEGIN CERTIFICATE-----\n";
    for (size_t i = 0; i < b64.size(); i += 64) out += b64.substr(i, 64) + "\n";
    out += "-----END CERTIFICATE-----\n";
  }
  return out;
}

}  // namespace ztpack
