#include "author/private_key_scan.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include <algorithm>
#include <span>

#include "read/der.h"

namespace ztpack {
namespace {

using Bytes = std::span<const uint8_t>;

Bytes AsBytes(std::string_view text) {
  return Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool StartsWith(Bytes bytes, std::initializer_list<uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// The password-based schemes an EncryptedPrivateKeyInfo names: PKCS#5 (1.2.840.113549.1.5.*,
// PBES1 and PBES2) and PKCS#12 (1.2.840.113549.1.12.1.*).
bool IsPasswordBasedScheme(Bytes oid) {
  return StartsWith(oid, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05}) ||
         StartsWith(oid, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01});
}

// PKCS#7 data or signedData, the two contents a PFX's authSafe may have.
bool IsPfxContentType(Bytes oid) {
  return oid.size() == 9 && StartsWith(oid, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07}) &&
         (oid[8] == 0x01 || oid[8] == 0x02);
}

// What kind of private key `der` is, when the whole of it is one:
//   PrivateKeyInfo          SEQUENCE { INTEGER 0|1, AlgorithmIdentifier, OCTET STRING, ... }
//   EncryptedPrivateKeyInfo SEQUENCE { AlgorithmIdentifier (password-based), OCTET STRING }
//   RSAPrivateKey           SEQUENCE { INTEGER 0|1, eight or more INTEGERs, ... }
//   DSA (OpenSSL)           SEQUENCE { INTEGER 0, five INTEGERs }
//   ECPrivateKey (SEC1)     SEQUENCE { INTEGER 1, OCTET STRING, [0] params?, [1] public key? }
//   PFX (PKCS#12)           SEQUENCE { INTEGER 3, ContentInfo (data|signedData), MacData? }
const char* DerKeyShape(Bytes der) {
  Der file(der, 0);
  auto outer = file.Next("key");
  if (!outer || outer->tag != 0x30 || outer->whole.size() != der.size()) return nullptr;
  Der fields(*outer);
  auto first = fields.Next("first field");
  if (!first) return nullptr;
  if (first->tag == 0x30) {
    Der algorithm(*first);
    auto oid = algorithm.Next("algorithm");
    auto data = fields.Next("encrypted data");
    const bool shaped = oid && oid->tag == 0x06 && IsPasswordBasedScheme(oid->content) && data &&
                        data->tag == 0x04 && fields.AtEnd();
    return shaped ? "PKCS#8 EncryptedPrivateKeyInfo" : nullptr;
  }
  if (first->tag != 0x02 || first->content.size() != 1) return nullptr;
  const uint8_t version = first->content[0];
  auto second = fields.Next("second field");
  if (!second) return nullptr;
  if (second->tag == 0x30 && version <= 1) {
    Der algorithm(*second);
    auto oid = algorithm.Next("algorithm");
    auto key = fields.Next("private key");
    const bool shaped = oid && oid->tag == 0x06 && key && key->tag == 0x04;
    return shaped ? "PKCS#8 PrivateKeyInfo" : nullptr;
  }
  if (second->tag == 0x30 && version == 3) {
    Der contentInfo(*second);
    auto oid = contentInfo.Next("content type");
    auto content = contentInfo.Next("content");
    if (!oid || oid->tag != 0x06 || !IsPfxContentType(oid->content) || !content ||
        content->tag != 0xA0) {
      return nullptr;
    }
    if (!fields.AtEnd()) {
      auto mac = fields.Next("mac data");
      if (!mac || mac->tag != 0x30 || !fields.AtEnd()) return nullptr;
    }
    return "PKCS#12 PFX";
  }
  if (second->tag == 0x04 && version == 1) {
    uint8_t next = 0xA0;
    while (!fields.AtEnd()) {
      auto optional = fields.Next("optional field");
      if (!optional || optional->tag < next || optional->tag > 0xA1) return nullptr;
      next = optional->tag + 1;
    }
    return "SEC1 ECPrivateKey";
  }
  if (second->tag != 0x02 || version > 1) return nullptr;
  int integers = 1;
  while (!fields.AtEnd() && fields.PeekTag() == 0x02) {
    if (!fields.Next("integer")) return nullptr;
    ++integers;
  }
  if (integers >= 8) return "PKCS#1 RSAPrivateKey";  // multi-prime keys add a SEQUENCE behind
  if (integers == 5 && version == 0 && fields.AtEnd()) return "DSA private key";
  return nullptr;
}

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kDashes = "-----";
constexpr size_t kMaxLabel = 64;
constexpr size_t kReexamineStep = 4096;

enum class Verdict { kKey, kNotKey, kNeedMore };

std::string_view Trimmed(std::string_view line) {
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
}

bool IsLabel(std::string_view label) {
  static constexpr std::string_view kSuffix = "PRIVATE KEY";
  if (label.size() < kSuffix.size() || label.substr(label.size() - kSuffix.size()) != kSuffix) {
    return false;
  }
  return std::all_of(label.begin(), label.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
  });
}

bool IsBase64Line(std::string_view line) {
  return !line.empty() && std::all_of(line.begin(), line.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
  });
}

// An RFC 1421 header ("Proc-Type: 4,ENCRYPTED", "DEK-Info: ...").
bool IsHeaderLine(std::string_view line) {
  const size_t colon = line.find(':');
  return colon != std::string_view::npos && colon > 0 &&
         std::all_of(line.begin(), line.begin() + colon, [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '-';
         });
}

// Decides the PEM block that `text` starts with ("-----BEGIN "). `atEnd`: no more bytes come.
Verdict ExaminePem(std::string_view text, bool atEnd, std::string* label) {
  const size_t close = text.find(kDashes, kBegin.size());
  if (close == std::string_view::npos) {
    return atEnd || text.size() > kBegin.size() + kMaxLabel ? Verdict::kNotKey : Verdict::kNeedMore;
  }
  if (close - kBegin.size() > kMaxLabel) return Verdict::kNotKey;
  const std::string_view name = text.substr(kBegin.size(), close - kBegin.size());
  if (!IsLabel(name)) return Verdict::kNotKey;
  const std::string end = std::string("-----END ") + std::string(name) + "-----";

  std::string base64;
  bool encrypted = false, headers = true;
  size_t pos = close + kDashes.size();
  for (bool firstLine = true;; firstLine = false) {
    if (pos > PrivateKeyScanner::kMaxPemBlock) return Verdict::kNotKey;
    size_t newline = text.find('\n', pos);
    if (newline == std::string_view::npos) {
      if (!atEnd) {
        return text.size() > PrivateKeyScanner::kMaxPemBlock ? Verdict::kNotKey
                                                             : Verdict::kNeedMore;
      }
      newline = text.size();  // the last line of the file
    }
    const std::string_view line = Trimmed(text.substr(pos, newline - pos));
    pos = newline + 1;
    if (firstLine) {
      if (!line.empty()) return Verdict::kNotKey;  // the rest of the BEGIN line
    } else if (line == end) {
      break;
    } else if (headers && base64.empty() && IsHeaderLine(line)) {
      encrypted |= line.rfind("Proc-Type:", 0) == 0 && line.find("ENCRYPTED") != line.npos;
    } else if (line.empty() && base64.empty()) {
      headers = false;  // the blank line between headers and body
    } else if (IsBase64Line(line)) {
      base64 += line;
      headers = false;
    } else {
      return Verdict::kNotKey;
    }
    if (pos > text.size()) return Verdict::kNotKey;  // the file ended inside the block
  }

  std::string der;
  CryptoPP::StringSource(base64, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
  if (der.empty()) return Verdict::kNotKey;
  static constexpr std::string_view kOpenSsh("openssh-key-v1\0", 15);
  const bool key = (encrypted && der.size() % 8 == 0) ||
                   std::string_view(der).substr(0, kOpenSsh.size()) == kOpenSsh ||
                   DerKeyShape(AsBytes(der)) != nullptr;
  if (!key) return Verdict::kNotKey;
  *label = std::string(name);
  return Verdict::kKey;
}

}  // namespace

void PrivateKeyScanner::Feed(std::string_view piece) {
  if (piece.empty()) return;
  if (fed_ <= kMaxDerKeySize) {
    head_.append(piece.substr(0, std::min<uint64_t>(piece.size(), kMaxDerKeySize + 1 - fed_)));
  }
  fed_ += piece.size();
  // In slices, so that what is buffered stays within a block's bound plus one slice.
  while (!piece.empty() && found_.empty()) {
    const size_t n = std::min(piece.size(), kMaxPemBlock);
    pending_.append(piece.substr(0, n));
    piece.remove_prefix(n);
    if (pending_.size() >= waitFor_) Scan(false);
  }
}

void PrivateKeyScanner::Scan(bool atEnd) {
  size_t keep = 0;  // where the bytes still undecided start
  for (size_t from = 0;;) {
    const size_t at = pending_.find(kBegin, from);
    if (at == std::string::npos) {
      // A marker may be cut by the end of the piece: its first bytes wait for the next.
      keep = pending_.size() - std::min(pending_.size() - from, kBegin.size() - 1);
      break;
    }
    std::string label;
    const Verdict verdict = ExaminePem(std::string_view(pending_).substr(at), atEnd, &label);
    if (verdict == Verdict::kKey) {
      found_ = "a PEM \"" + label + "\" block";
      pending_.clear();
      return;
    }
    if (verdict == Verdict::kNeedMore) {
      pending_.erase(0, at);
      // Examined again once enough has come, so that tiny pieces do not examine it per byte.
      waitFor_ = pending_.size() + kReexamineStep;
      return;
    }
    from = at + 1;
  }
  pending_.erase(0, keep);
  waitFor_ = 0;
}

std::string PrivateKeyScanner::Finish() {
  if (found_.empty()) Scan(true);
  pending_.clear();
  if (!found_.empty()) return found_;
  if (fed_ <= kMaxDerKeySize && head_.size() == fed_) {
    if (const char* kind = DerKeyShape(AsBytes(head_))) return std::string("DER ") + kind;
  }
  return {};
}

}  // namespace ztpack
