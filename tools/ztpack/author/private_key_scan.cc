#include "author/private_key_scan.h"

#include <span>

#include "read/der.h"

namespace ztpack {
namespace {

// PrivateKeyInfo ::= SEQUENCE { INTEGER 0|1, AlgorithmIdentifier (SEQUENCE, OID first),
// OCTET STRING, ... }; RSAPrivateKey ::= SEQUENCE { INTEGER 0|1, eight more INTEGERs, ... }.
// The SEQUENCE is the whole file.
const char* DerPrivateKeyKind(std::string_view text) {
  const std::span<const uint8_t> der(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  Der file(der, 0);
  auto outer = file.Next("key");
  if (!outer || outer->tag != 0x30 || outer->whole.size() != der.size()) return nullptr;
  Der fields(*outer);
  auto version = fields.Next("version");
  if (!version || version->tag != 0x02 || version->content.size() != 1 || version->content[0] > 1) {
    return nullptr;
  }
  auto next = fields.Next("second field");
  if (!next) return nullptr;
  if (next->tag == 0x30) {
    const bool algorithm = !next->content.empty() && next->content[0] == 0x06;
    auto key = fields.Next("key");
    return algorithm && key && key->tag == 0x04 ? "DER PKCS#8 PrivateKeyInfo" : nullptr;
  }
  for (int i = 0; i < 8; ++i) {
    if (next->tag != 0x02) return nullptr;
    if (i < 7 && !(next = fields.Next("integer"))) return nullptr;
  }
  return "DER PKCS#1 RSAPrivateKey";
}

// The label of a PEM private key block starting in `text`, or empty.
std::string PemPrivateKeyLabel(std::string_view text) {
  static constexpr std::string_view kBegin = "-----BEGIN ";
  static constexpr std::string_view kSuffix = "PRIVATE KEY";
  for (size_t at = text.find(kBegin); at != std::string_view::npos;
       at = text.find(kBegin, at + 1)) {
    const size_t labelStart = at + kBegin.size();
    const size_t labelEnd = text.find("-----", labelStart);
    if (labelEnd == std::string_view::npos || labelEnd - labelStart > 64) continue;
    std::string_view label = text.substr(labelStart, labelEnd - labelStart);
    if (label.find('\n') == std::string_view::npos && label.size() >= kSuffix.size() &&
        label.substr(label.size() - kSuffix.size()) == kSuffix) {
      return std::string(label);
    }
  }
  return {};
}

// Larger files are no DER key (a 16384-bit RSA key takes about 9 KiB).
constexpr uint64_t kMaxDerKeySize = 64 * 1024;

// A block's first line split between two pieces is found: each piece is searched together with
// the end of the one before.
constexpr size_t kCarry = 128;

}  // namespace

void PrivateKeyScanner::Feed(std::string_view piece) {
  if (piece.empty()) return;
  if (fed_ < kMaxDerKeySize) {
    head_.append(piece.substr(0, std::min<uint64_t>(piece.size(), kMaxDerKeySize + 1 - fed_)));
  }
  fed_ += piece.size();
  if (!found_.empty()) return;
  window_.append(piece);
  if (std::string label = PemPrivateKeyLabel(window_); !label.empty()) {
    found_ = "a PEM \"" + label + "\" block";
  }
  window_.erase(0, window_.size() > kCarry ? window_.size() - kCarry : 0);
}

std::string PrivateKeyScanner::Finish() {
  if (!found_.empty()) return found_;
  if (fed_ <= kMaxDerKeySize && head_.size() == fed_) {
    if (const char* kind = DerPrivateKeyKind(head_)) return kind;
  }
  return {};
}

}  // namespace ztpack
