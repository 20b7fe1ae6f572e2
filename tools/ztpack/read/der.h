// A bounded reader of DER, for the structures ztpack looks into without trusting them: signatures
// in a certificate table, and files that may be private keys. Every length is checked against
// the bytes that are left before a sub-span is formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/result.h"

namespace ztpack {

// One DER element: its tag, its content, and the whole encoding (header included).
struct Tlv {
  uint8_t tag = 0;
  size_t offset = 0;  // of the element, from the start of the outermost input
  std::span<const uint8_t> content;
  std::span<const uint8_t> whole;
};

// A DER reader over a span: every length is checked against the bytes that are left before a
// sub-span is formed. Definite lengths of up to four bytes and low tag numbers only, which is
// all that DER-encoded signatures use.
class Der {
 public:
  Der(std::span<const uint8_t> bytes, size_t base) : bytes_(bytes), base_(base) {}
  explicit Der(const Tlv& parent)
      : bytes_(parent.content),
        base_(parent.offset + (parent.whole.size() - parent.content.size())) {}

  bool AtEnd() const { return pos_ >= bytes_.size(); }
  uint8_t PeekTag() const { return AtEnd() ? 0 : bytes_[pos_]; }

  support::Result<Tlv> Next(const char* what) {
    const size_t at = base_ + pos_;
    const size_t left = bytes_.size() - pos_;
    if (left < 2) return support::Errorf("%s at offset %zu: truncated header", what, at);
    const uint8_t tag = bytes_[pos_];
    if ((tag & 0x1F) == 0x1F) return support::Errorf("%s at offset %zu: unsupported tag", what, at);
    const uint8_t first = bytes_[pos_ + 1];
    size_t header = 2;
    uint64_t length = first;
    if (first == 0x80) {
      return support::Errorf("%s at offset %zu: indefinite length (not DER)", what, at);
    }
    if (first > 0x80) {
      const size_t count = first & 0x7F;
      if (count > 4)
        return support::Errorf("%s at offset %zu: length of %zu bytes", what, at, count);
      if (left - 2 < count) return support::Errorf("%s at offset %zu: truncated length", what, at);
      length = 0;
      for (size_t i = 0; i < count; ++i) length = (length << 8) | bytes_[pos_ + 2 + i];
      header += count;
    }
    if (length > left - header) {
      return support::Errorf("%s at offset %zu: length %llu exceeds the %zu bytes left", what, at,
                             static_cast<unsigned long long>(length), left - header);
    }
    Tlv tlv;
    tlv.tag = tag;
    tlv.offset = at;
    tlv.whole = bytes_.subspan(pos_, header + static_cast<size_t>(length));
    tlv.content = tlv.whole.subspan(header);
    pos_ += tlv.whole.size();
    return tlv;
  }

  support::Result<Tlv> Expect(uint8_t tag, const char* what) {
    if (!AtEnd() && PeekTag() != tag) {
      return support::Errorf("%s at offset %zu: tag 0x%02x, expected 0x%02x", what, base_ + pos_,
                             PeekTag(), tag);
    }
    return Next(what);
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t base_;
  size_t pos_ = 0;
};

}  // namespace ztpack
