// Writes bundles (layout in bundle/bundle_format.h) and their public key blocks.
//
// The writer streams: each entry is read, compressed and scrambled one chunk at a time, the
// bundle signature is computed over the bytes as they are written, and the file appears under
// its name only when it is complete (written beside it, then renamed). A bundle whose signed
// bytes are half of a SHA-1 collision attack is refused at Finish, naming the entry that holds
// the colliding block. Output is deterministic:
// the same inputs, chunk size, junk length and keys give the same bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "author/chunk_deflater.h"
#include "author/keys.h"
#include "bundle/bundle_format.h"
#include "bundle/key_stream.h"
#include "os/file_ops.h"
#include "os/output_file.h"
#include "support/result.h"

namespace ztpack {

// The public key block: goal tag, expiry, the bundle key (DER SPKI) and the root signature over
// tag, expiry and key. Refused when those bytes are half of a SHA-1 collision attack; the error
// then names the key by `keyName`.
support::Result<std::string> MakePublicKeyBlock(const SigningKey& rootKey,
                                                const std::string& bundleKeyDer,
                                                const std::string& goal, uint32_t expiry,
                                                const std::string& keyName = "bundle key");

// Its reader, SplitPublicKeyBlock, is in read/public_key.h.

using ProgressFunction = std::function<void(uint64_t done, uint64_t total)>;

// A file that is never packed, known by its identity: the release's own private keys, PKCS#12
// files and PIN files. `what` names it for the message ("the private key keys/root.key").
struct NeverPacked {
  fileops::FileId identity;
  std::string what;
};

struct BundleOptions {
  uint32_t chunkSize = bundle::kDefaultWriterChunkSize;  // 1 .. kWorkerMaxChunkSize
  uint64_t junkLength = 0;
  int compressionLevel = kDefaultCompressionLevel;  // 0 .. kMaxCompressionLevel
  unsigned threads = 0;                  // WriteBundle's compressing threads; 0: one per processor
  uint32_t headerFields[3] = {0, 0, 0};  // the three u32 the reader does not interpret
  ProgressFunction progress;             // called after each chunk with bytes read so far
  // WriteBundle's payload checks, made on the very bytes packed. Each file entry with an
  // identity (BundleInput::identity) is opened once, without following a link, and must be that
  // regular file, of the size planned, and none of `neverPacked`; every byte of it is read from
  // that one descriptor. With `checkPrivateKeys` each entry's bytes, as they are packed, go
  // through a PrivateKeyScanner (private_key_scan.h), and one that holds a key fails the bundle,
  // which is then never written.
  bool checkPrivateKeys = false;
  // With checkPrivateKeys: one line for each entry that may hold a key, saying what it holds
  // (DescribeAllowedPrivateKey), for the command's output.
  std::vector<std::string>* allowedKeyLines = nullptr;
  std::vector<NeverPacked> neverPacked;
  // When set, receives the SHA-1 the bundle signature signs (the signed region), for binding a
  // setup program to it without reading the bundle again (verify/bundle_binding.h).
  std::string* signedDigest = nullptr;
};

// The low-level writer. Tests use it to write bundles with deliberate faults (raw chunks,
// arbitrary stream bytes); WriteBundle below is the usual entry point.
class BundleWriter {
 public:
  BundleWriter();
  ~BundleWriter();
  BundleWriter(const BundleWriter&) = delete;
  BundleWriter& operator=(const BundleWriter&) = delete;

  // Creates `path`'s temporary sibling and writes the header.
  support::Status Begin(const std::string& path, const SigningKey& bundleKey,
                        const std::string& publicKeyBlock, const BundleOptions& options);

  // A whole entry from memory or from a file, in chunks of options.chunkSize. Refused, before
  // anything of it is written, when the first 256 entries would hold more chunks than the
  // installer accepts (bundle::kMaxCataloguedChunks).
  support::Status AddData(const std::string& name, std::string_view data);
  support::Status AddFile(const std::string& name, const std::string& path);

  // Pieces of an entry, for tests: the name length and name, the chunk count, one chunk with
  // stated lengths and stored zlib bytes of the caller's choice, and plain stream bytes.
  support::Status BeginEntry(const std::string& name, uint32_t chunkCount);
  support::Status WriteChunk(std::string_view zlibData, uint32_t inflatedLength);
  support::Status WriteStreamBytes(std::string_view plain);
  // The same for bytes the caller no longer needs: they are scrambled in its buffer.
  support::Status WriteStreamBytesInPlace(uint8_t* plain, size_t length);

  // Terminates the stream (name length 0), writes junk, the signature block and the tail, and
  // renames the file into place. `terminate` false leaves the terminator to the caller.
  support::Status Finish(bool terminate = true);

  // The entry whose records hold file offset `offset` of the bytes written so far, or empty (the
  // header, or past the stream's end): how a refusal names the entry that holds a colliding
  // block.
  std::string EntryAt(uint64_t offset) const;

  // Bytes of entry content read so far and the total expected (for progress).
  uint64_t contentDone() const { return contentDone_; }
  void SetExpectedContent(uint64_t total) { contentTotal_ = total; }

 private:
  support::Status WriteSigned(const uint8_t* data, size_t length);  // plain region bytes
  support::Status WriteScrambled(const uint8_t* plain, size_t length);
  support::Status CompressChunk(const uint8_t* data, size_t length);
  // Counts an entry of `chunks` chunks against the installer's limit on catalogued chunks.
  support::Status CountEntry(const std::string& name, uint64_t chunks);

  support::Status Flush();  // the buffered bytes to the file

  struct EntryMarks;  // where each entry starts in the signed bytes

  static constexpr size_t kIoBufferSize = 1 << 16;
  std::unique_ptr<OutputFile> out_;  // removed unless Finish succeeded
  std::vector<uint8_t> buffer_;      // bytes not yet written, at most kIoBufferSize
  BundleOptions options_;
  std::string publicKeyBlock_;
  std::unique_ptr<StreamingSigner> signer_;
  std::unique_ptr<CryptoPP::SHA1> plainSha1_;
  std::unique_ptr<CryptoPP::SHA1> signedSha1_;  // options_.signedDigest only
  std::unique_ptr<EntryMarks> marks_;
  bundle::KeyStreamState state_;
  std::vector<uint8_t> scratch_, compressed_;
  std::unique_ptr<ChunkDeflater> deflater_;
  uint64_t contentDone_ = 0, contentTotal_ = 0;
  uint64_t entriesAdded_ = 0, cataloguedChunks_ = 0;
};

struct BundleInput {
  std::string name;
  std::string path;                 // read from this file unless `data` is set
  std::optional<std::string> data;  // content in memory
  // The file as it was listed (fileops::IdentityOf, not following a link): WriteBundle packs
  // `path` only when it opens this very file (see BundleOptions). Unset: opened as named.
  std::optional<fileops::FileId> identity = std::nullopt;
  // Named by the author to ship although it may hold a private key (a library's test vectors):
  // the key check reports what it holds instead of refusing it.
  bool mayHoldPrivateKey = false;
};

// A payload file read whole (at most 1 GiB: an install script) through one descriptor opened
// without following a link, which must be `identity` (the file listed) and none of
// `neverPacked`: the bytes to check and to pack (BundleInput::data).
support::Result<std::string> ReadPayloadFile(const std::string& path,
                                             const fileops::FileId& identity,
                                             const std::vector<NeverPacked>& neverPacked);

// The chunk count of `size` bytes in chunks of `chunkSize`.
uint64_t ChunkCount(uint64_t size, uint32_t chunkSize);
// The error for a bundle whose first 256 entries hold more chunks than the installer accepts.
support::Status ChunkLimitError(const std::string& name, uint64_t total, uint32_t chunkSize);

// Writes a complete signed bundle. Chunks are compressed on `options.threads` threads; the
// output is the same whatever their number, and the same as BundleWriter::AddFile and AddData
// write. Memory stays within about (2 * threads + 1) chunks (3 * threads + 2 with
// checkPrivateKeys, which keeps the plain bytes of the jobs in flight) and a fixed amount per
// thread. A set
// of entries whose first 256 hold more chunks than the installer accepts is refused before
// anything is written.
support::Status WriteBundle(const std::string& outPath, const std::vector<BundleInput>& entries,
                            const SigningKey& bundleKey, const std::string& publicKeyBlock,
                            const BundleOptions& options);

}  // namespace ztpack
