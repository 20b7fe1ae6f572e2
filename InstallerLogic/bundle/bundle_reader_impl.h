// The inside of BundleReader, shared by the reading side (bundle_reader.cc) and the validation
// (bundle_validate.cc). Not for use outside the bundle component.
#pragma once

#include <cryptopp/filters.h>
#include <cryptopp/rsa.h>

#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bundle/bundle_format.h"
#include "bundle/bundle_reader.h"
#include "bundle/hash_behind.h"
#include "bundle/key_stream.h"
#include "bundle/piece_inflater.h"
#include "bundle/write_behind.h"
#include "platform/platform.h"
#include "support/detecting_sha1.h"

namespace bundle {

// A read-only file with a read-ahead buffer, standing in for the C runtime's byte stream: the
// walk reads many 4-byte fields, and each must not cost a system call. Seeks inside the buffered
// range only move the cursor. Reads of a buffer's size or more bypass the buffer.
class ReadAheadFile {
 public:
  bool Open(const std::u16string& path);
  void Close();
  bool IsOpen() const { return file_.IsOpen(); }
  // Reads up to n bytes at the current position; returns the count read (short at the end).
  size_t Read(void* out, size_t n);
  bool Seek(int64_t position);
  int64_t Tell() const { return bufferStart_ + static_cast<int64_t>(cursor_); }
  int64_t Size() { return file_.Size(); }
  platform::File& file() { return file_; }

 private:
  static constexpr size_t kBufferSize = 256 * 1024;
  platform::File file_;
  std::unique_ptr<uint8_t[]> buffer_;
  int64_t bufferStart_ = 0;  // file offset of buffer_[0]
  size_t cursor_ = 0;
  size_t filled_ = 0;
};

// Where ExtractEntry can start walking: the first entry of every name (compared as C strings,
// as ExtractEntry compares them) with its stream position and key state, recorded while
// Validate walks. Its memory is capped; entries past the cap are found by walking on from
// `resume`, the first entry not recorded.
struct EntryIndex {
  struct Place {
    int64_t offset = 0;
    KeyStreamState state;
  };
  std::unordered_map<std::string, Place> firstByName;
  bool complete = false;  // every entry of the stream is recorded
  bool full = false;
  Place resume;
  size_t bytesUsed = 0;
  static constexpr size_t kBudget = 8u << 20;

  void Clear() { *this = EntryIndex(); }
};

struct BundleReader::Impl {
  using Verifier = CryptoPP::RSASS<CryptoPP::PKCS1v15, support::DetectingSha1>::Verifier;

  ReadAheadFile file;
  std::u16string path;  // for the trace line of a detected collision
  bool open = false;
  uint32_t maxChunkSize = kDefaultMaxChunkSize;
  std::string goal = kDefaultGoal;
  std::string rootKey;
  const KeyStreams& keys = KeyStreams::Builtin();
  KeyStreamState state;
  support::DetectingSha1 sha1;
  std::string signedDigest;  // set by Validate when the bundle signature verified
  CryptoPP::SignatureVerificationFilter* filter = nullptr;  // alive only inside Validate
  HashBehind* hasher = nullptr;  // feeds `filter`; alive only inside Validate
  std::vector<std::unique_ptr<EntryHandle>> handles;
  std::vector<CatalogueEntry> catalogue;
  size_t cataloguedChunks = 0;
  EntryIndex index;
  int64_t fileSize = 0;

  // Extraction inflates in pieces and writes each on the writer's thread while the next is
  // inflated. It alternates between two output buffers, so that a chunk can be inflated while
  // the pieces of the one before still wait to be written; `ticket` is the last job using the
  // buffer. In a file of several chunks, the writer's thread is also handed whole chunks
  // (their stored bytes in `handoff`) to inflate and write itself while this thread inflates
  // the next, whole, into a buffer of its own. Chunks larger than kShareLimit are neither handed
  // over nor given a second buffer, so that memory stays within twice the largest chunk plus a
  // fixed amount (five buffers of at most kShareLimit, or two of the chunk's size).
  //
  // Every buffer is reused, so that its size stays bounded by the chunk limits and it is not
  // zero-filled for each chunk; `storedBytes` takes the stored bytes of chunk loads and extraction.
  struct Buffer {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
    WriteBehind::Ticket ticket = 0;  // unused for `storedBytes`
  };
  static constexpr size_t kShareLimit = 4u << 20;
  static constexpr size_t kIdleBacklog = 2;  // jobs, the one running included
  Buffer storedBytes;
  Buffer outputs[2];
  size_t nextOutput = 0;
  Buffer handoff;
  // Whole small files waiting to be written, taken in turn.
  static constexpr size_t kSmallFile = 256 * 1024;
  static constexpr size_t kSmallOutputs = 16;
  Buffer smallOutputs[kSmallOutputs];
  size_t nextSmall = 0;
  const bool twoProcessors = std::thread::hardware_concurrency() >= 2;
  PieceInflater inflater;
  WriteBehind writer;

  static constexpr size_t kWalkPiece = 256 * 1024;

  // Internal operations.
  bool Rewind();
  size_t ReadStream(void* buffer, size_t itemSize, size_t count, bool feedValidation,
                    bool advanceOnly);
  bool ReadU32(uint32_t* value, bool feedValidation);
  // The rest of the entry's record from its chunk count on, through the entry walk.
  bool CopyEntryTo(platform::File& out);
  // One chunk of the entry being copied, its header read and within the limits.
  bool CopyChunk(platform::File& out, bool last, uint32_t stored, uint32_t inflated);
  // Positions the stream at the first entry whose name is `key` (as a C string), as the walk
  // from offset 25 would find it; false when there is none.
  bool SeekEntry(const std::string& key);
  // A whole entry of one small chunk (or none), inflated here into one of `smallOutputs` and
  // handed to the writer's thread as one job. False when it is not such an entry (nothing
  // read) or when it fails (*failed set).
  bool ExtractSmall(platform::File* out, const std::u16string* target,
                    support::ParentDirectories* parents, WriteBehind::Ticket* ticket, bool* failed);
  // The data of such an entry's one chunk, its header read and within the limits.
  bool ExtractSmallChunk(platform::File* out, const std::u16string* target,
                         support::ParentDirectories* parents, WriteBehind::Ticket* ticket,
                         uint32_t stored, uint32_t inflated);
  bool Validate();
  struct ValidationSource;  // the validation walk (bundle_validate.cc)
  struct ValidationVisitor;
  void RecordInIndex(const std::string& name, int64_t offset, const KeyStreamState& at);
  // The entry walk (entry_walk.h) from the current position to the first entry named `key`, or
  // over one entry when `firstOnly`; true with the stream at that entry's chunk count.
  bool WalkFrom(const std::string& key, bool firstOnly);

  const CachedChunk* LoadChunk(EntryHandle* handle, size_t index);
  const CachedChunk* FindCached(EntryHandle* handle, size_t index) const;
  // The chunk holding content offset `offset` of an entry, cached or loaded, with the offset
  // where it begins in *base; null at the entry's end or when it cannot be loaded.
  const CachedChunk* ChunkHolding(EntryHandle* handle, uint64_t offset, uint64_t* base);
  // The chunk holding content offset `offset` (skipping empty chunks), or -1.
  static int64_t FindChunk(const EntryHandle* handle, uint64_t offset);
  void ResetCatalogue();
  // The buffer's memory for n bytes; the caller has waited for the buffer's jobs.
  static uint8_t* Reserve(Buffer& buffer, size_t n);
};

// Decodes a public key block and checks its root signature under `rootKey`. The caller owns the
// key it returns; null (after its trace line) when the block is refused.
std::unique_ptr<CryptoPP::RSA::PublicKey> ParsePublicKeyBlock(const uint8_t* block, size_t length,
                                                              const std::string& goal,
                                                              const std::string& rootKey);

}  // namespace bundle
