// BundleReader: opens, validates and reads a bundle (layout in bundle_format.h).
//
// Open always validates (public key block against the root key, bundle signature against the
// key in that block) and builds the catalogue of the first 256 entries, which OpenEntry uses.
// ExtractEntry finds entries by walking the stream, so it reaches entries past the catalogue.
// The operations report by their result (false, -1, empty) after their trace and standard-output
// lines; nothing is thrown out of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bundle/key_stream.h"

namespace bundle {

// Where one chunk's stored bytes start, and the key-stream state current there.
struct ChunkDescriptor {
  int64_t dataOffset = 0;
  uint32_t storedLength = 0;
  uint32_t inflatedLength = 0;
  KeyStreamState state;
};

struct CatalogueEntry {
  std::string name;
  uint64_t totalLength = 0;  // sum of the chunks' inflated lengths (64-bit: the sum can pass 4 GiB)
  std::vector<ChunkDescriptor> chunks;
};

struct CachedChunk {
  size_t index = 0;
  std::unique_ptr<uint8_t[]> data;
  size_t inflated = 0;
};

// An open entry: random access to its inflated content through a small cache of chunks.
struct EntryHandle {
  uint64_t totalLength = 0;
  uint64_t readOffset = 0;
  std::vector<ChunkDescriptor> chunks;
  std::vector<uint64_t> chunkStarts;  // offset in the content where each chunk begins
  std::deque<CachedChunk> cache;      // oldest first
  size_t cacheLimit = 10;
  int64_t savedPosition = 0;  // stream position and key state when the handle was made,
  KeyStreamState savedState;  // put back by CloseEntry
};

class BundleReader {
 public:
  BundleReader();
  ~BundleReader();
  BundleReader(const BundleReader&) = delete;
  BundleReader& operator=(const BundleReader&) = delete;

  void SetGoal(const std::string& goal);        // default "AVSG"
  void SetMaxChunkSize(uint32_t maxChunkSize);  // default 2,097,152
  // The root public key (DER) that must certify the bundle key; default: the built-in one.
  void SetRootKey(const std::string& derPublicKey);

  bool Open(const std::u16string& path);     // always validates
  EntryHandle* OpenEntry(const char* name);  // null when absent or not open
  size_t Read(void* buffer, size_t itemSize, size_t count, EntryHandle* handle);
  char* ReadLine(char* buffer, int size, EntryHandle* handle);
  void CloseEntry(EntryHandle* handle);
  bool ExtractEntry(const std::u16string& targetPath, const std::string& entryName);
  bool Close();

  // ExtractEntry for many entries, in order, each target's missing parent directories made
  // first (as support::CreateParentDirectories makes them), without waiting for one file to be
  // written before the next entry is read and inflated. `finished(count)` is called on this
  // thread whenever more files are complete: the first `count` are written and closed. Stops
  // at the first failure, whose target is deleted as ExtractEntry deletes it, and returns the
  // number of files extracted (the list's size when all were).
  struct Extraction {
    std::u16string target;
    std::string entryName;
  };
  size_t ExtractEntries(const std::vector<Extraction>& list,
                        const std::function<void(size_t count)>& finished);

  // The SHA-1 the bundle signature signs (of every byte before the signature block), 20 bytes,
  // once Open has validated the bundle; empty otherwise. It names the bundle's signed content:
  // unlike the stored checksum, no other certified bundle can carry it.
  const std::string& SignedDigest() const;

  // Read-only views for tools and tests.
  bool IsOpen() const;
  const std::vector<CatalogueEntry>& Catalogue() const;
  size_t OpenHandleCount() const;
  int64_t StreamPosition() const;
  KeyStreamState CurrentKeyState() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The root public key of the program's key place (DER SubjectPublicKeyInfo; empty when the place
// is not filled).
std::string BuiltinRootKey();

}  // namespace bundle
