#include "read/bundle_description.h"

#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "bundle/entry_walk.h"
#include "bundle/key_stream.h"
#include "os/file_ops.h"
#include "platform/platform.h"
#include "read/escape.h"
#include "read/public_key.h"
#include "support/byte_reader.h"
#include "support/detecting_sha1.h"
#include "support/text.h"

namespace ztpack {
namespace {

using support::Errorf;

// Reads up to n bytes at `offset`, across short reads; the count read (less at the end of the
// file or on an error).
size_t ReadAt(fileops::RawFile* file, uint64_t offset, void* data, size_t n) {
  const int64_t got = file->ReadFullyAt(offset, data, n);
  return got < 0 ? 0 : static_cast<size_t>(got);
}

// The description walk's reading side: sequential reads of the entry stream, unscrambled, with
// the plain bytes hashed for the stored checksum.
class DescriptionSource {
 public:
  explicit DescriptionSource(fileops::RawFile* file) : file_(file), piece_(1 << 20) {}
  int64_t offset() const { return offset_; }
  uint32_t lastU32() const { return last_; }
  bool U32(uint32_t* v) {
    uint8_t b[4];
    if (!Read(b, 4)) return false;
    *v = last_ = support::LoadU32le(b);
    return true;
  }
  bool Name(std::string* name) {
    return Read(reinterpret_cast<uint8_t*>(name->data()), name->size());
  }
  bool ChunkData(uint32_t stored) {
    for (uint64_t left = stored; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, piece_.size()));
      if (!Read(piece_.data(), n)) return false;
      left -= n;
    }
    return true;
  }
  void Final(uint8_t* digest) { sha1_.Final(digest); }

 private:
  // Reads n bytes (plain); false when fewer arrive.
  bool Read(uint8_t* out, size_t n) {
    size_t got = ReadAt(file_, static_cast<uint64_t>(offset_), out, n);
    offset_ += static_cast<int64_t>(got);
    bundle::KeyStreams::Builtin().Unscramble(state_, out, got);
    sha1_.Update(out, got);
    return got == n;
  }

  fileops::RawFile* file_;
  std::vector<uint8_t> piece_;
  int64_t offset_ = bundle::kHeaderSize;
  uint32_t last_ = 0;
  bundle::KeyStreamState state_;
  CryptoPP::SHA1 sha1_;
};

// The description walk's keeping side: lists entries and chunks up to the listing limits, and
// notes the chunks that the installer's reader would refuse without stopping there.
class DescriptionVisitor {
 public:
  DescriptionVisitor(const DescriptionSource& source, uint32_t maxChunkSize, BundleInfo* info)
      : source_(source), maxChunkSize_(maxChunkSize), info_(info) {}

  void EntryStart() { entryOffset_ = source_.offset(); }
  int64_t Offset() const { return entryOffset_; }
  void Named(const std::string& name) {
    open_ = true;
    entry_ = BundleEntryInfo();
    entry_.offset = entryOffset_;
    entry_.name = name;
  }
  bool Entry(const std::string&, uint32_t chunkCount) {
    entry_.chunkCount = chunkCount;
    return true;
  }
  bool Chunk(uint32_t index, uint32_t stored, uint32_t inflated) {
    CommitChunk();
    pending_ = BundleChunkInfo();
    pending_.stored = stored;
    pending_.inflated = inflated;
    pending_.dataOffset = source_.offset();
    hasPending_ = true;
    if (!bundle::ChunkWithinLimits(stored, inflated, maxChunkSize_) &&
        info_->chunkFaults.size() < 100) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "entry \"%s\" chunk %u at 0x%llx: stored %u / inflated %u exceed the reader's "
                    "limits %llu / %u",
                    entry_.name.c_str(), index,
                    static_cast<unsigned long long>(pending_.dataOffset), stored, inflated,
                    static_cast<unsigned long long>(bundle::StoredLengthBound(maxChunkSize_)),
                    maxChunkSize_);
      info_->chunkFaults.push_back(text);
    }
    return true;
  }
  bool EntryEnd() {
    CommitChunk();
    Close();
    return true;
  }
  // An entry cut short by the end of the file is listed with the chunks read whole.
  void Close() {
    if (!open_) return;
    open_ = false;
    hasPending_ = false;
    if (info_->entries.size() < kMaxListedEntries) {
      info_->entries.push_back(std::move(entry_));
    } else {
      info_->entriesListed = false;
    }
  }

 private:
  // A chunk counts once its data has been read, that is when the next record begins.
  void CommitChunk() {
    if (!hasPending_) return;
    hasPending_ = false;
    entry_.storedTotal += pending_.stored;
    entry_.inflatedTotal += pending_.inflated;
    if (listedChunks_ < kMaxListedChunks) {
      entry_.chunks.push_back(pending_);
      ++listedChunks_;
    } else {
      entry_.chunksListed = false;
    }
  }

  const DescriptionSource& source_;
  const uint32_t maxChunkSize_;
  BundleInfo* info_;
  int64_t entryOffset_ = 0;
  bool open_ = false;
  BundleEntryInfo entry_;
  bool hasPending_ = false;
  BundleChunkInfo pending_;
  size_t listedChunks_ = 0;
};

void WalkEntries(fileops::RawFile* f, uint32_t maxChunkSize, BundleInfo* info) {
  DescriptionSource source(f);
  DescriptionVisitor visitor(source, maxChunkSize, info);
  const bundle::WalkEnd end = bundle::WalkEntryStream(source, visitor);
  const int64_t at = visitor.Offset();
  visitor.Close();
  switch (end) {
    case bundle::WalkEnd::kTerminator: info->streamEnd = "terminating name length 0"; break;
    case bundle::WalkEnd::kNameLengthTooLarge:
      info->streamEnd = "name length " + std::to_string(source.lastU32()) + " above " +
                        std::to_string(bundle::kMaxNameLength) + " (the rest is junk)";
      break;
    case bundle::WalkEnd::kShortNameLength:
      info->streamEnd = "the file ended inside a name length";
      break;
    case bundle::WalkEnd::kShortName:
      info->streamEnd = "the file ended inside the name of the entry at " + std::to_string(at);
      break;
    case bundle::WalkEnd::kShortChunks:
    case bundle::WalkEnd::kRefused:
      info->streamEnd = "the file ended inside the chunks of the entry at " + std::to_string(at);
      break;
  }
  info->streamEndOffset = source.offset();
  uint8_t digest[20];
  source.Final(digest);
  uint8_t stored[20];
  if (info->fileSize >= 20 && ReadAt(f, info->fileSize - 20, stored, 20) == 20) {
    info->checksum.checked = true;
    info->checksum.valid = std::memcmp(digest, stored, 20) == 0;
    info->checksum.text = info->checksum.valid ? "matches the plain entry stream"
                                               : "differs from the plain entry stream";
  }
}

}  // namespace

namespace {

support::Status ReadHeader(fileops::RawFile* f, const std::string& path, BundleInfo* info) {
  uint8_t header[bundle::kHeaderSize];
  size_t got = ReadAt(f, 0, header, sizeof header);
  if (got < bundle::kMagicSize || std::memcmp(header, bundle::kMagic, bundle::kMagicSize) != 0) {
    return Errorf("%s: not a bundle (no \"%s\" magic at offset 0)", path.c_str(),
                  bundle::kMagicText);
  }
  if (got < bundle::kHeaderSize) {
    return Errorf("%s: header is %zu bytes, fewer than %u", path.c_str(), got, bundle::kHeaderSize);
  }
  info->version = header[bundle::kMagicSize];
  for (int i = 0; i < 3; ++i) {
    info->headerFields[i] = support::LoadU32le(header + bundle::kMagicSize + 1 + 4 * i);
  }
  return {};
}

// The tail and the signature block, each number checked against the file. The block's bytes and
// fields when they are sound; otherwise the signatures' texts say why they are not checked.
std::optional<std::string> ReadSignatureBlock(const std::string& path, BundleInfo* info,
                                              bundle::SignatureBlockFields* fields) {
  info->bundleSignature.text = info->rootSignature.text = "not checked: no signature block";
  if (info->fileSize < bundle::kHeaderSize + bundle::kTailSize) return std::nullopt;
  platform::File file =
      platform::File::Open(support::Utf8ToWide(path, true), platform::OpenMode::kRead);
  if (!file.IsOpen()) return std::nullopt;
  support::ByteReader reader(file, info->fileSize);
  bundle::SignatureTail tail;
  const bundle::SignatureTailFault fault = bundle::ReadSignatureTail(reader, &tail);
  if (fault == bundle::SignatureTailFault::kShort ||
      fault == bundle::SignatureTailFault::kShortLength) {
    return std::nullopt;
  }
  if (fault == bundle::SignatureTailFault::kNoMarker) {
    info->bundleSignature.text = info->rootSignature.text =
        "not checked: no \"" + std::string(bundle::kSignatureMarker, 4) + "\" marker (unsigned)";
    return std::nullopt;
  }
  info->signatureBlockLength = tail.blockLength;
  if (fault == bundle::SignatureTailFault::kBlockTooLong ||
      tail.blockLength > info->fileSize - bundle::kTailSize - bundle::kHeaderSize) {
    info->bundleSignature.text = info->rootSignature.text =
        "not checked: signature block length " + std::to_string(info->signatureBlockLength) +
        " exceeds " + std::to_string(bundle::kMaxSignatureBlock) + " or the file";
    return std::nullopt;
  }
  info->signedLength = tail.blockStart;
  if (static_cast<uint64_t>(info->streamEndOffset) <= info->signedLength) {
    info->junkLength = info->signedLength - static_cast<uint64_t>(info->streamEndOffset);
  }
  auto block = reader.Bytes(tail.blockStart, tail.blockLength);
  if (!block) return std::nullopt;
  auto split = bundle::SplitSignatureBlock(support::ByteReader{std::span<const uint8_t>(*block)});
  if (!split) {
    info->bundleSignature.text = info->rootSignature.text =
        "not checked: signature or public key block lengths overrun the signature block";
    return std::nullopt;
  }
  *fields = *split;
  return std::string(block->begin(), block->end());
}

std::span<const uint8_t> Bytes(const std::string& s) {
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The root signature over tag, expiry and key bytes.
void CheckRootSignature(const std::string& keyBlock, const PublicKeyBlockFields& fields,
                        const std::string& rootKeyDer, BundleInfo* info) {
  auto root = ParsePublicKey(rootKeyDer, "root key");
  if (!root) {
    info->rootSignature.text = "not checked: " + root.error();
    return;
  }
  std::string message = keyBlock.substr(0, 8) + fields.bundleKeyDer;
  info->rootSignature.checked = true;
  info->rootSignature.valid = VerifySha1(*root, Bytes(message), Bytes(fields.rootSignature));
  info->rootSignature.text = info->rootSignature.valid ? "valid under the given root key"
                                                       : "INVALID under the given root key";
}

// The bundle signature over the signed region as stored, streamed.
support::Status CheckBundleSignature(fileops::RawFile* f, const std::string& path,
                                     const std::string& bundleSignature, const RsaPublicKey& key,
                                     BundleInfo* info) {
  try {
    CryptoPP::RSASS<CryptoPP::PKCS1v15, support::DetectingSha1>::Verifier verifier(key);
    std::unique_ptr<CryptoPP::PK_MessageAccumulator> acc(verifier.NewVerificationAccumulator());
    CryptoPP::SHA1 region;
    std::vector<uint8_t> piece(1 << 20);
    uint64_t left = info->signedLength;
    for (uint64_t at = 0; left > 0; at += piece.size()) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
      if (ReadAt(f, at, piece.data(), n) != n) return Errorf("%s: read failed", path.c_str());
      acc->Update(piece.data(), n);
      region.Update(piece.data(), n);
      left -= n;
    }
    info->bundleSignature.checked = true;
    if (bundleSignature.size() != verifier.SignatureLength()) {
      info->bundleSignature.text = "INVALID: " + std::to_string(bundleSignature.size()) +
                                   " signature bytes, the key needs " +
                                   std::to_string(verifier.SignatureLength());
      return {};
    }
    verifier.InputSignature(*acc, Bytes(bundleSignature).data(), bundleSignature.size());
    info->bundleSignature.valid = verifier.VerifyAndRestart(*acc);
    if (info->bundleSignature.valid) {
      info->signedDigest.assign(CryptoPP::SHA1::DIGESTSIZE, '\0');
      region.Final(reinterpret_cast<uint8_t*>(info->signedDigest.data()));
    }
  } catch (const support::Sha1CollisionDetected& e) {
    // The region is hashed from offset 0: the block's offset is a file offset.
    std::string entry;
    for (const BundleEntryInfo& listed : info->entries) {
      if (static_cast<uint64_t>(listed.offset) <= e.blockOffset()) entry = listed.name;
    }
    info->bundleSignature.text =
        std::string("INVALID: ") + e.what() +
        (entry.empty() ? "" : " (in entry \"" + EscapeBytes(entry, 0x20, "\"\\") + "\")");
    return {};
  } catch (const std::exception& e) {
    info->bundleSignature.text = std::string("INVALID: ") + e.what();
    return {};
  }
  info->bundleSignature.text = info->bundleSignature.valid
                                   ? "valid under the certified bundle key"
                                   : "INVALID under the certified bundle key";
  return {};
}

}  // namespace

support::Result<BundleInfo> InspectBundle(const std::string& path, const std::string& rootKeyDer,
                                          uint32_t maxChunkSize) {
  fileops::RawFile file = fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead);
  if (!file.IsOpen()) {
    return Errorf("%s: cannot open: %s", path.c_str(), fileops::LastErrorText().c_str());
  }
  BundleInfo info;
  auto size = fileops::RegularFileSize(path);
  if (!size) return Errorf("%s: cannot tell the file's size", path.c_str());
  info.fileSize = *size;
  if (auto header = ReadHeader(&file, path, &info); !header) return header.takeError();

  WalkEntries(&file, maxChunkSize, &info);

  bundle::SignatureBlockFields layout;
  auto block = ReadSignatureBlock(path, &info, &layout);
  if (!block) return info;
  std::string bundleSignature =
      block->substr(bundle::SignatureBlockFields::kSignatureAt, layout.signatureLength);
  std::string keyBlock = block->substr(layout.keyBlockAt(), layout.keyBlockLength);
  auto fields = SplitPublicKeyBlock(keyBlock);
  if (!fields) {
    info.bundleSignature.text = info.rootSignature.text = "not checked: " + fields.error();
    return info;
  }
  info.hasPublicKeyBlock = true;
  info.goal = fields->goal;
  info.expiry = fields->expiry;
  CheckRootSignature(keyBlock, *fields, rootKeyDer, &info);

  auto key = ParsePublicKey(fields->bundleKeyDer, "bundle key");
  if (!key) {
    info.bundleSignature.text = "not checked: " + key.error();
    return info;
  }
  info.bundleKeyBits = ModulusBits(*key);
  if (auto status = CheckBundleSignature(&file, path, bundleSignature, *key, &info); !status) {
    return status.takeError();
  }
  return info;
}

support::Result<std::string> SafeRelativePath(const std::string& name) {
  if (name.empty()) return Errorf("entry name is empty");
  if (name.find('\0') != std::string::npos)
    return Errorf("entry name \"%s\" holds a zero byte", name.c_str());
  if (name[0] == '/' || name[0] == '\\')
    return Errorf("entry name \"%s\" is an absolute path", name.c_str());
  if (name.find(':') != std::string::npos) {
    return Errorf("entry name \"%s\" holds a colon (drive letter or alternate data stream)",
                  name.c_str());
  }
  std::string out;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part.empty() || part == ".") {
      return Errorf("entry name \"%s\" has an empty or \".\" component", name.c_str());
    }
    if (part == "..") return Errorf("entry name \"%s\" climbs out with \"..\"", name.c_str());
    // Windows drops trailing dots and blanks, which would turn "..." or ".. " into "..".
    if (part.find_first_not_of(". ") == std::string::npos || part.back() == '.' ||
        part.back() == ' ') {
      return Errorf("entry name \"%s\" has a component ending in a dot or blank", name.c_str());
    }
    if (!out.empty()) out += '/';
    out += part;
    start = end + 1;
  }
  return out;
}

std::string FormatUtc(uint32_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

}  // namespace ztpack
