// One bounds check, written once. Every read of untrusted bytes, from memory or from a file,
// goes through ByteReader: offsets and lengths are 64-bit, and a range is inside the source
// only when `offset <= size && length <= size - offset`, which cannot wrap. Nothing casts a
// struct onto file bytes, and no pointer into a buffer is formed before its range is checked.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "platform/platform.h"

namespace support {

class ByteReader {
 public:
  // Reads from memory the caller keeps alive.
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes), size_(bytes.size()) {}
  // Reads from an open file of the given size with positioned reads (the file position is not
  // moved), so only the bytes asked for are ever read.
  ByteReader(platform::File& file, uint64_t size) : file_(&file), size_(size) {}

  uint64_t size() const { return size_; }

  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  // Copies `length` bytes at `offset` into `out`; false (and nothing copied) when the range is
  // not inside the source or the file read falls short.
  bool Read(uint64_t offset, void* out, uint64_t length) const {
    if (!Has(offset, length)) return false;
    if (length == 0) return true;
    if (file_ == nullptr) {
      std::memcpy(out, bytes_.data() + offset, static_cast<size_t>(length));
      return true;
    }
    return file_->ReadAt(offset, out, static_cast<size_t>(length)) == static_cast<int64_t>(length);
  }

  std::optional<uint8_t> U8(uint64_t offset) const {
    uint8_t b[1];
    if (!Read(offset, b, 1)) return std::nullopt;
    return b[0];
  }
  std::optional<uint16_t> U16le(uint64_t offset) const {
    uint8_t b[2];
    if (!Read(offset, b, 2)) return std::nullopt;
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
  }
  std::optional<uint32_t> U32le(uint64_t offset) const {
    uint8_t b[4];
    if (!Read(offset, b, 4)) return std::nullopt;
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  }
  // The bytes of a range, or nothing when it is not inside the source.
  std::optional<std::vector<uint8_t>> Bytes(uint64_t offset, uint64_t length) const {
    if (!Has(offset, length)) return std::nullopt;
    std::vector<uint8_t> out(static_cast<size_t>(length));
    if (!Read(offset, out.data(), length)) return std::nullopt;
    return out;
  }
  // A sub-range of a memory source (empty optional for file sources or out-of-range requests).
  std::optional<std::span<const uint8_t>> Sub(uint64_t offset, uint64_t length) const {
    if (file_ != nullptr || !Has(offset, length)) return std::nullopt;
    return bytes_.subspan(static_cast<size_t>(offset), static_cast<size_t>(length));
  }

 private:
  std::span<const uint8_t> bytes_;
  platform::File* file_ = nullptr;
  uint64_t size_ = 0;
};

// Little-endian stores for the writers, so that the two sides share one byte order.
inline void PutU16le(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void PutU32le(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void StoreU16le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t LoadU32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace support
