// The bundle file: the signed archive that carries the install script and the files it selects.
// The reader (bundle_reader.cc, bundle_validate.cc) and the writer (tools/ztpack) share this
// header, so the two sides cannot drift apart.
//
// Layout, front to back; all integers are little-endian u32 unless noted:
//
//   header            25 bytes, plain: magic "ZTBUNDLE!" 0D 0A 00 (12), version u8 = 1, and
//                     three u32 fields that must be present but mean nothing to the reader.
//   entry stream      scrambled. Entries, each: name length N (1..255), N name bytes, chunk
//                     count C, then C chunks of stored length S, inflated length P and S bytes
//                     holding one complete zlib stream that inflates to P bytes. A name length
//                     of 0 ends the stream; one above 255 ends it too, and whatever follows up to
//                     the signature block counts as junk.
//   junk              plain, normally empty; signed like everything before the signature block.
//   signature block   L <= 8192 bytes, plain: X, X bytes of bundle signature, Y, Y bytes of
//                     public key block; trailing bytes are ignored.
//   tail              L (u32), the marker "ZTSG", and the SHA-1 of the plain entry stream
//                     (offset 25 through the terminating name length).
//
// Public key block: goal tag (4 characters, e.g. "IBND"), expiry (u32 seconds since 1970, signed
// but never compared with a clock), c, c bytes of the bundle key (DER SubjectPublicKeyInfo), d,
// d bytes of the root signature over tag, expiry and key bytes. Both signatures are RSASSA-
// PKCS1-v1_5 with SHA-1; the bundle signature covers the signed region as stored, that is every
// byte before the signature block: header, scrambled stream and junk.
//
// Why scrambled: the entry stream is not meant to be read without this code, and because every
// key byte has bit 0 clear, scrambling keeps bit 0 of each byte. The key-stream selector follows
// bit 0 only, so it can be advanced over stored bytes without unscrambling them (key_stream.h).
//
// What is trusted when: nothing before the signatures verify. The tail and signature block are
// read with bounds checks against the file size; the public key block is checked against the
// root key before its bundle key is used; the entry stream is walked (every length checked
// against its limit and the bytes left in the file) while its stored bytes feed the verifier, so
// the catalogue built on the way is only used once the bundle signature has verified. The stored
// checksum is a diagnostic for unsigned or mis-certified bundles and never decides validity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "support/byte_reader.h"

// The scramble key table, embedded at build time from bundle/scramble_table.bin.
extern const unsigned char kScrambleTable[];
extern const unsigned int kScrambleTableSize;

namespace bundle {

constexpr uint8_t kMagic[12] = {'Z', 'T', 'B', 'U', 'N', 'D', 'L', 'E', '!', 0x0D, 0x0A, 0x00};
constexpr char kMagicText[] = "ZTBUNDLE!";  // the printable part of kMagic, for messages
constexpr size_t kMagicSize = sizeof kMagic;
constexpr uint8_t kVersion = 1;
constexpr uint32_t kHeaderSize = 25;  // magic, version, three u32

constexpr uint32_t kMaxNameLength = 255;
// The reader catalogues the first 256 entries (later ones are reached by a walk), keeping one
// descriptor of about 40 bytes per chunk. So that a 32-bit installer's memory stays bounded
// whatever a bundle states, it refuses a bundle whose catalogued entries hold more than 2^19
// chunks together (20 MiB of descriptors); the writer refuses to write one.
constexpr size_t kMaxCatalogueEntries = 256;
constexpr size_t kMaxCataloguedChunks = size_t{1} << 19;
constexpr size_t kMaxOpenHandles = 32;
constexpr size_t kChunkCacheLimit = 10;

constexpr uint32_t kDefaultMaxChunkSize = 2097152;  // reader default
// The largest chunk the installation worker accepts (worker.cc sets it on its reader: 25 MiB),
// and so the largest ztpack writes and reads back in its checks.
constexpr uint32_t kWorkerMaxChunkSize = 26214400;
constexpr uint32_t kDefaultWriterChunkSize = 1048576;

constexpr uint32_t kMaxSignatureBlock = 8192;
constexpr uint32_t kJunkPiece = 8192;  // junk reaches the verifier in pieces of at most this
constexpr uint32_t kChecksumSize = 20;
constexpr uint32_t kTailSize = 4 + 4 + kChecksumSize;  // L, marker, checksum
constexpr char kSignatureMarker[4] = {'Z', 'T', 'S', 'G'};

// The tail's fields, from its start (kTailSize bytes before the end of the file).
constexpr uint64_t kTailBlockLengthAt = 0;
constexpr uint64_t kTailMarkerAt = 4;
constexpr uint64_t kTailChecksumAt = 8;

// Why a bundle's tail names no signature block.
enum class SignatureTailFault {
  kNone,
  kShort,         // the file ends before the marker
  kNoMarker,      // unsigned
  kShortLength,   // a marker, but the file ends before the block length
  kBlockTooLong,  // L above kMaxSignatureBlock or beyond the file
};
struct SignatureTail {
  uint32_t blockLength = 0;  // L (set from kBlockTooLong on as well, for messages)
  uint64_t blockStart = 0;   // file offset of the signature block: the signed region's length
};
// Reads the tail of a bundle of `file.size()` bytes: the marker first, then L.
inline SignatureTailFault ReadSignatureTail(const support::ByteReader& file, SignatureTail* out) {
  const uint64_t size = file.size();
  constexpr uint64_t kMarkerFromEnd = kTailSize - kTailMarkerAt;
  uint8_t marker[sizeof kSignatureMarker];
  if (size < kMarkerFromEnd || !file.Read(size - kMarkerFromEnd, marker, sizeof marker)) {
    return SignatureTailFault::kShort;
  }
  if (std::memcmp(marker, kSignatureMarker, sizeof marker) != 0) {
    return SignatureTailFault::kNoMarker;
  }
  auto length = size < kTailSize ? std::nullopt : file.U32le(size - kTailSize + kTailBlockLengthAt);
  if (!length) return SignatureTailFault::kShortLength;
  out->blockLength = *length;
  if (*length > kMaxSignatureBlock || *length > size - kTailSize) {
    return SignatureTailFault::kBlockTooLong;
  }
  out->blockStart = size - kTailSize - *length;
  return SignatureTailFault::kNone;
}

// The signature block's two length-prefixed fields: X bytes of bundle signature at offset 4,
// Y bytes of public key block behind the second length. Each length is below 2^31 and the two
// fields lie in the block; trailing bytes are ignored.
struct SignatureBlockFields {
  static constexpr uint64_t kSignatureAt = 4;
  uint32_t signatureLength = 0;  // X
  uint32_t keyBlockLength = 0;   // Y
  uint64_t keyBlockAt() const { return kSignatureAt + 4 + uint64_t{signatureLength}; }
};
inline std::optional<SignatureBlockFields> SplitSignatureBlock(const support::ByteReader& block) {
  auto x = block.U32le(0);
  auto y = x ? block.U32le(SignatureBlockFields::kSignatureAt + uint64_t{*x}) : std::nullopt;
  if (!x || !y || static_cast<int32_t>(*x) < 0 || static_cast<int32_t>(*y) < 0) {
    return std::nullopt;
  }
  SignatureBlockFields fields{*x, *y};
  if (!block.Has(fields.keyBlockAt(), *y)) return std::nullopt;
  return fields;
}

constexpr uint32_t kMinPublicKeyBlock = 16;  // tag, expiry, c, d
constexpr char kDefaultGoal[] = "AVSG";
constexpr char kWorkerGoal[] = "IBND";

// zlib's compressBound: the largest stored length a chunk of `maxChunk` inflated bytes may have.
constexpr uint64_t StoredLengthBound(uint32_t maxChunk) {
  uint64_t m = maxChunk;
  return m + m / 4096 + m / 16384 + m / 33554432 + 13;
}
static_assert(StoredLengthBound(kDefaultMaxChunkSize) == 2097805);
static_assert(StoredLengthBound(kWorkerMaxChunkSize) == 26222413);

}  // namespace bundle
