// The attachment container: typed blocks of data stored back to back at the end of a region
// of a file.
//
// Layout. A chain ends at a position E: the end of the raw data of an executable's last section
// (the ".ZTBNDL" section), the end of the file, or the end of the image of a signed executable.
// Each attachment is its data block followed directly by a 28-byte footer:
//
//     ... | data (size bytes, scrambled) | digest[16] size:u32 type[4] "ABD2" | data | footer |E
//
// All integers are little-endian. The footer is never scrambled; every data byte is stored
// XORed with kContainerKey (the same byte for every attachment and every position), so
// scrambling and unscrambling are the same operation. The digest is the MD5 of the data after
// unscrambling.
//
// Why it is so. Nothing marks the start of a chain, so a writer can append one more attachment
// to any file (or grow a section) without touching what is already there, and a reader finds
// the newest attachment first: it walks backwards from E, footer by footer, and stops at the
// first 28 bytes that do not end in the magic. Of two attachments with the same type, the one
// nearer to E wins, which is how a later writer overrides an earlier one. The XOR key is not
// protection, only a way to keep the payload from looking like what it is (an executable) to
// tools that scan files.
//
// What is trusted when. Nothing in a footer is trusted before it is checked: the magic says
// only that the 28 bytes are meant to be a footer; the size is checked against the position of
// the footer (the data must start at or after offset 0) before anything is read, and the data
// are read in bounded chunks, so a lying size costs a short read, not an allocation. Positions
// are signed 32-bit values in the format: every computation is done in 64 bits and anything that
// reaches 2 GiB is refused, never wrapped. The data are trusted only once their MD5 matches the
// digest; the file variant deletes what it wrote when it does not.
//
// Reader (container/attachment.cc) and writer (tools/ztpack/author/attachment_writer.cc) share the
// constants and helpers below, so the two sides cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace container {

constexpr size_t kFooterSize = 28;
constexpr size_t kDigestOffset = 0;
constexpr size_t kDigestSize = 16;
constexpr size_t kSizeOffset = 16;
constexpr size_t kTypeOffset = 20;
constexpr size_t kTypeSize = 4;
constexpr size_t kMagicOffset = 24;
constexpr char kFooterMagic[4] = {'A', 'B', 'D', '2'};

// The container key: every data byte is stored XORed with it. A system constant; changing it
// makes every existing container unreadable.
constexpr uint8_t kContainerKey = 0xA7;

// The file variant copies through one heap buffer of this size; the memory variants read in
// stack chunks of the smaller size.
constexpr size_t kFileChunkSize = 1048576;
constexpr size_t kMemoryChunkSize = 8192;

// The name of the executable section that holds the program's own container (7 characters and
// a zero byte in the 8-byte section name field).
constexpr char kSectionName[] = ".ZTBNDL";

// Positions in the format are signed 32-bit: a chain end, a file length or a data start at or
// beyond this limit is refused.
constexpr int64_t kPositionLimit = int64_t{1} << 31;

// The footer's fields, decoded field by field (never by casting a struct onto file bytes).
struct AttachmentFooter {
  uint8_t digest[kDigestSize] = {};
  uint32_t size = 0;
  char type[kTypeSize] = {};
};

// True when the 28 bytes end in the magic; then *footer holds the decoded fields.
inline bool DecodeFooter(const uint8_t (&bytes)[kFooterSize], AttachmentFooter* footer) {
  if (std::memcmp(bytes + kMagicOffset, kFooterMagic, sizeof kFooterMagic) != 0) return false;
  std::memcpy(footer->digest, bytes + kDigestOffset, kDigestSize);
  footer->size = static_cast<uint32_t>(bytes[kSizeOffset]) |
                 (static_cast<uint32_t>(bytes[kSizeOffset + 1]) << 8) |
                 (static_cast<uint32_t>(bytes[kSizeOffset + 2]) << 16) |
                 (static_cast<uint32_t>(bytes[kSizeOffset + 3]) << 24);
  std::memcpy(footer->type, bytes + kTypeOffset, kTypeSize);
  return true;
}

inline void EncodeFooter(const AttachmentFooter& footer, uint8_t (&bytes)[kFooterSize]) {
  std::memcpy(bytes + kDigestOffset, footer.digest, kDigestSize);
  for (int i = 0; i < 4; ++i) bytes[kSizeOffset + i] = static_cast<uint8_t>(footer.size >> (8 * i));
  std::memcpy(bytes + kTypeOffset, footer.type, kTypeSize);
  std::memcpy(bytes + kMagicOffset, kFooterMagic, sizeof kFooterMagic);
}

// XORs every byte with the container key (scrambles and unscrambles alike). Works on 64-bit
// words so that the compiler turns the loop into vector code: the copy of a large attachment
// must not be held up by a byte-at-a-time loop.
inline void ScrambleInPlace(uint8_t* data, size_t length) {
  constexpr uint64_t kWordKey = 0x0101010101010101ull * kContainerKey;
  size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    uint64_t w[4];
    std::memcpy(w, data + i, sizeof w);
    w[0] ^= kWordKey;
    w[1] ^= kWordKey;
    w[2] ^= kWordKey;
    w[3] ^= kWordKey;
    std::memcpy(data + i, w, sizeof w);
  }
  for (; i < length; ++i) data[i] ^= kContainerKey;
}

}  // namespace container
