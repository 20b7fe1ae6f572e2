// The walk over the entry stream's records (layout in bundle_format.h), written once for every
// reader that lists a bundle's entries: the installer's validation, which builds its catalogue on
// the way, and ztpack's description of a bundle, which goes on past what the installer refuses
// so that it can say where and why.
//
// The walk reads the records in order and decides what each name length means; what a reader
// does with the bytes (unscrambling, hashing, verifying) is its source's business, and what it
// keeps or refuses is its visitor's. A template, so that the installer's walk costs no call
// through a pointer per record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "bundle/bundle_format.h"

namespace bundle {

// Why the walk ended.
enum class WalkEnd {
  kTerminator,          // a name length of 0: the stream ends here
  kNameLengthTooLarge,  // a name length above kMaxNameLength: what follows is junk
  kShortNameLength,     // the file ended inside a name length
  kShortName,           // the file ended inside a name
  kShortChunks,         // the file ended inside a chunk count, a chunk header or chunk data
  kRefused,             // the visitor stopped the walk
};

// True when a chunk header is within the limits of a reader of chunks up to `maxChunkSize`: its
// stored bytes no more than zlib can need for that much, its inflated length no more than that.
constexpr bool ChunkWithinLimits(uint32_t stored, uint32_t inflated, uint32_t maxChunkSize) {
  return stored <= StoredLengthBound(maxChunkSize) && inflated <= maxChunkSize;
}

// Source, reading the plain stream in order:
//   bool U32(uint32_t* value);              a little-endian u32; false when the file ends first
//   bool Name(std::string* name);           name->size() bytes into *name; false when short
//   bool ChunkData(uint32_t stored);        the chunk's stored bytes; false when short
// Visitor, told what was read; each `bool` returns false to stop the walk (kRefused):
//   void EntryStart();                      before an entry's name length is read
//   bool Entry(const std::string& name, uint32_t chunkCount);
//   bool Chunk(uint32_t index, uint32_t stored, uint32_t inflated);   before its data
//   bool EntryEnd();                        after the entry's last chunk
//   void Named(const std::string& name);    the name, before the chunk count is read; a visitor
//                                           whose Named returns bool stops the walk there with
//                                           false (extraction, which wants the stream at the
//                                           chunk count of the entry it looks for)
// The rest of one entry's record, from its chunk count on, for a walk that stopped after the
// entry's name (extraction). Empty when the entry ended as it should.
template <typename Source, typename Visitor>
std::optional<WalkEnd> WalkEntryChunks(Source& source, Visitor& visitor, const std::string& name) {
  uint32_t chunkCount = 0;
  if (!source.U32(&chunkCount)) return WalkEnd::kShortChunks;
  if (!visitor.Entry(name, chunkCount)) return WalkEnd::kRefused;
  for (uint32_t i = 0; i < chunkCount; ++i) {
    uint32_t stored = 0, inflated = 0;
    if (!source.U32(&stored) || !source.U32(&inflated)) return WalkEnd::kShortChunks;
    if (!visitor.Chunk(i, stored, inflated)) return WalkEnd::kRefused;
    if (!source.ChunkData(stored)) return WalkEnd::kShortChunks;
  }
  if (!visitor.EntryEnd()) return WalkEnd::kRefused;
  return std::nullopt;
}

template <typename Source, typename Visitor>
WalkEnd WalkEntryStream(Source& source, Visitor& visitor) {
  std::string name;
  for (;;) {
    visitor.EntryStart();
    uint32_t nameLength = 0;
    if (!source.U32(&nameLength)) return WalkEnd::kShortNameLength;
    if (nameLength == 0) return WalkEnd::kTerminator;
    if (nameLength > kMaxNameLength) return WalkEnd::kNameLengthTooLarge;
    name.assign(nameLength, '\0');
    if (!source.Name(&name)) return WalkEnd::kShortName;
    if constexpr (std::is_same_v<decltype(visitor.Named(name)), bool>) {
      if (!visitor.Named(name)) return WalkEnd::kRefused;
    } else {
      visitor.Named(name);
    }
    if (auto end = WalkEntryChunks(source, visitor, name)) return *end;
  }
}

}  // namespace bundle
