#include "author/bundle_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "os/file_ops.h"
#include "support/byte_reader.h"

namespace ztpack {

using support::Errorf;

support::Result<std::string> MakePublicKeyBlock(const SigningKey& rootKey,
                                                const std::string& bundleKeyDer,
                                                const std::string& goal, uint32_t expiry,
                                                const std::string& keyName) {
  if (goal.size() != 4) return Errorf("goal tag \"%s\" is not exactly 4 characters", goal.c_str());
  if (bundleKeyDer.empty()) return Errorf("bundle key is empty");
  std::vector<uint8_t> message(goal.begin(), goal.end());
  support::PutU32le(message, expiry);
  message.insert(message.end(), bundleKeyDer.begin(), bundleKeyDer.end());
  StreamingSigner signer(rootKey);
  signer.Update(message.data(), message.size());
  auto signature = signer.Finish();
  if (std::optional<uint64_t> at = signer.collisionAt()) {
    return Errorf(
        "%s: %s of the certified bytes (goal tag, expiry, key): refused to certify one "
        "half of a SHA-1 collision",
        keyName.c_str(), support::CollisionText(*at).c_str());
  }
  if (!signature) return signature.takeError();
  std::vector<uint8_t> block(message.begin(), message.begin() + 8);
  support::PutU32le(block, static_cast<uint32_t>(bundleKeyDer.size()));
  block.insert(block.end(), bundleKeyDer.begin(), bundleKeyDer.end());
  support::PutU32le(block, static_cast<uint32_t>(signature->size()));
  block.insert(block.end(), signature->begin(), signature->end());
  return std::string(block.begin(), block.end());
}

support::Result<std::string> ReadPayloadFile(const std::string& path,
                                             const fileops::FileId& identity,
                                             const std::vector<NeverPacked>& neverPacked) {
  fileops::RawFile in = fileops::RawFile::Open(path, fileops::RawFile::Mode::kReadNoFollow);
  if (!in.IsOpen()) {
    return support::Errorf("%s: cannot open: %s", path.c_str(), fileops::LastErrorText().c_str());
  }
  auto id = in.Identity();
  if (!id) return support::Errorf("%s: %s", path.c_str(), id.error().c_str());
  for (const NeverPacked& never : neverPacked) {
    if (never.identity == *id) {
      return support::Errorf("%s is %s: it is never packed", path.c_str(), never.what.c_str());
    }
  }
  if (!(*id == identity)) {
    return support::Errorf("%s is no longer the file listed (replaced since); not packed",
                           path.c_str());
  }
  auto size = in.RegularSize();
  if (!size) return support::Errorf("%s: %s", path.c_str(), size.error().c_str());
  if (*size > (1ull << 30)) return support::Errorf("%s: larger than 1 GiB", path.c_str());
  std::string bytes(static_cast<size_t>(*size), '\0');
  const int64_t got = in.ReadFullyAt(0, bytes.data(), bytes.size());
  if (got != static_cast<int64_t>(bytes.size())) {
    return support::Errorf("%s: read %lld of %zu bytes (changed while read?)", path.c_str(),
                           static_cast<long long>(got), bytes.size());
  }
  return bytes;
}

// Follows the plain entry stream as it is written (the same records the reader walks), noting
// where each entry's name length lies in the file, so that a signed-byte offset can be named by
// its entry whichever way the stream was produced.
struct BundleWriter::EntryMarks {
  enum class Want { kNameLength, kName, kChunkCount, kChunkHeader, kChunkData, kEnd };
  Want want = Want::kNameLength;
  uint8_t field[8] = {};
  size_t have = 0;
  uint64_t offset = bundle::kHeaderSize;  // file offset of the next plain byte
  uint64_t fieldStart = 0;
  uint64_t dataLeft = 0;
  uint32_t nameLength = 0, chunksLeft = 0;
  std::string name;
  std::vector<std::pair<uint64_t, std::string>> entries;

  void Feed(const uint8_t* p, size_t n) {
    while (n > 0 && want != Want::kEnd) {
      size_t take;
      if (want == Want::kChunkData) {
        take = static_cast<size_t>(std::min<uint64_t>(dataLeft, n));
        dataLeft -= take;
        if (dataLeft == 0) ChunkDone();
      } else if (want == Want::kName) {
        take = std::min<size_t>(nameLength - name.size(), n);
        name.append(reinterpret_cast<const char*>(p), take);
        if (name.size() == nameLength) {
          entries.emplace_back(fieldStart, name);
          want = Want::kChunkCount;
        }
      } else {
        const size_t need = want == Want::kChunkHeader ? 8 : 4;
        if (have == 0) fieldStart = offset;
        take = std::min(need - have, n);
        std::memcpy(field + have, p, take);
        have += take;
        if (have == need) {
          have = 0;
          FieldDone();
        }
      }
      p += take;
      n -= take;
      offset += take;
    }
  }
  void FieldDone() {
    const uint32_t value = support::LoadU32le(field);
    switch (want) {
      case Want::kNameLength:
        nameLength = value;
        name.clear();
        want = value == 0 || value > bundle::kMaxNameLength ? Want::kEnd : Want::kName;
        break;
      case Want::kChunkCount:
        chunksLeft = value;
        want = value == 0 ? Want::kNameLength : Want::kChunkHeader;
        break;
      case Want::kChunkHeader:
        dataLeft = value;
        want = Want::kChunkData;
        if (dataLeft == 0) ChunkDone();
        break;
      default: break;
    }
  }
  void ChunkDone() { want = --chunksLeft == 0 ? Want::kNameLength : Want::kChunkHeader; }

  // The entry whose records hold file offset `at`, or empty (the header, or past the stream).
  std::string EntryAt(uint64_t at) const {
    if (want == Want::kEnd && at >= offset) return std::string();
    auto next = std::upper_bound(entries.begin(), entries.end(), at,
                                 [](uint64_t a, const auto& e) { return a < e.first; });
    return next == entries.begin() ? std::string() : std::prev(next)->second;
  }
};

BundleWriter::BundleWriter() = default;

std::string BundleWriter::EntryAt(uint64_t offset) const {
  return marks_ ? marks_->EntryAt(offset) : std::string();
}

BundleWriter::~BundleWriter() = default;

support::Status BundleWriter::Begin(const std::string& path, const SigningKey& bundleKey,
                                    const std::string& publicKeyBlock,
                                    const BundleOptions& options) {
  if (options.chunkSize == 0 || options.chunkSize > bundle::kWorkerMaxChunkSize) {
    return Errorf("chunk size %u is outside 1..%u (the largest the installer reads)",
                  options.chunkSize, bundle::kWorkerMaxChunkSize);
  }
  if (options.compressionLevel < 0 || options.compressionLevel > kMaxCompressionLevel) {
    return Errorf("compression level %d is outside 0..%d", options.compressionLevel,
                  kMaxCompressionLevel);
  }
  options_ = options;
  publicKeyBlock_ = publicKeyBlock;
  auto out = OutputFile::Create(path);
  if (!out) return out.takeError();
  out_ = std::move(*out);
  buffer_.clear();
  buffer_.reserve(kIoBufferSize);
  signer_ = std::make_unique<StreamingSigner>(bundleKey);
  plainSha1_ = std::make_unique<CryptoPP::SHA1>();
  if (options.signedDigest != nullptr) signedSha1_ = std::make_unique<CryptoPP::SHA1>();
  marks_ = std::make_unique<EntryMarks>();
  state_ = bundle::KeyStreamState();

  std::vector<uint8_t> header(bundle::kMagic, bundle::kMagic + bundle::kMagicSize);
  header.push_back(bundle::kVersion);
  for (uint32_t field : options.headerFields) support::PutU32le(header, field);
  return WriteSigned(header.data(), header.size());
}

support::Status BundleWriter::Flush() {
  support::Status status = out_->Write(buffer_.data(), buffer_.size());
  buffer_.clear();
  return status;
}

support::Status BundleWriter::WriteSigned(const uint8_t* data, size_t length) {
  if (!out_) return Errorf("bundle writer: not begun or already finished");
  if (length == 0) return {};
  signer_->Update(data, length);
  if (signedSha1_) signedSha1_->Update(data, length);
  if (buffer_.size() + length > kIoBufferSize) {
    if (auto s = Flush(); !s) return s;
    if (length >= kIoBufferSize) return out_->Write(data, length);
  }
  buffer_.insert(buffer_.end(), data, data + length);
  return {};
}

support::Status BundleWriter::WriteScrambled(const uint8_t* plain, size_t length) {
  plainSha1_->Update(plain, length);
  marks_->Feed(plain, length);
  scratch_.assign(plain, plain + length);
  bundle::KeyStreams::Builtin().Scramble(state_, scratch_.data(), scratch_.size());
  return WriteSigned(scratch_.data(), scratch_.size());
}

support::Status BundleWriter::WriteStreamBytesInPlace(uint8_t* plain, size_t length) {
  plainSha1_->Update(plain, length);
  marks_->Feed(plain, length);
  bundle::KeyStreams::Builtin().Scramble(state_, plain, length);
  return WriteSigned(plain, length);
}

support::Status BundleWriter::WriteStreamBytes(std::string_view plain) {
  return WriteScrambled(reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
}

support::Status BundleWriter::BeginEntry(const std::string& name, uint32_t chunkCount) {
  if (name.empty() || name.size() > bundle::kMaxNameLength) {
    return Errorf("entry name \"%s\": %zu bytes, outside 1..%u", name.c_str(), name.size(),
                  bundle::kMaxNameLength);
  }
  std::vector<uint8_t> fields;
  support::PutU32le(fields, static_cast<uint32_t>(name.size()));
  fields.insert(fields.end(), name.begin(), name.end());
  support::PutU32le(fields, chunkCount);
  return WriteScrambled(fields.data(), fields.size());
}

support::Status BundleWriter::WriteChunk(std::string_view zlibData, uint32_t inflatedLength) {
  std::vector<uint8_t> fields;
  support::PutU32le(fields, static_cast<uint32_t>(zlibData.size()));
  support::PutU32le(fields, inflatedLength);
  fields.insert(fields.end(), zlibData.begin(), zlibData.end());
  return WriteScrambled(fields.data(), fields.size());
}

support::Status BundleWriter::CompressChunk(const uint8_t* data, size_t length) {
  if (!deflater_) deflater_ = std::make_unique<ChunkDeflater>(options_.compressionLevel);
  compressed_.clear();
  if (auto s = deflater_->AppendRecord(data, length, &compressed_); !s) return s;
  contentDone_ += length;
  if (options_.progress) options_.progress(contentDone_, contentTotal_);
  return WriteScrambled(compressed_.data(), compressed_.size());
}

uint64_t ChunkCount(uint64_t size, uint32_t chunkSize) {
  return (size + chunkSize - 1) / chunkSize;
}

support::Status ChunkLimitError(const std::string& name, uint64_t total, uint32_t chunkSize) {
  return Errorf(
      "entry \"%s\" brings the chunks of the bundle's first %zu entries to %llu, more "
      "than the %zu (2^19) the installer accepts; use a larger --chunk-size than %u",
      name.c_str(), bundle::kMaxCatalogueEntries, static_cast<unsigned long long>(total),
      bundle::kMaxCataloguedChunks, chunkSize);
}

support::Status BundleWriter::CountEntry(const std::string& name, uint64_t chunks) {
  if (chunks > UINT32_MAX) return Errorf("entry \"%s\": too many chunks", name.c_str());
  if (entriesAdded_++ >= bundle::kMaxCatalogueEntries) return {};
  cataloguedChunks_ += chunks;
  if (cataloguedChunks_ > bundle::kMaxCataloguedChunks) {
    return ChunkLimitError(name, cataloguedChunks_, options_.chunkSize);
  }
  return {};
}

support::Status BundleWriter::AddData(const std::string& name, std::string_view data) {
  uint64_t chunks = ChunkCount(data.size(), options_.chunkSize);
  if (auto s = CountEntry(name, chunks); !s) return s;
  if (auto s = BeginEntry(name, static_cast<uint32_t>(chunks)); !s) return s;
  for (size_t at = 0; at < data.size(); at += options_.chunkSize) {
    size_t n = std::min<size_t>(options_.chunkSize, data.size() - at);
    if (auto s = CompressChunk(reinterpret_cast<const uint8_t*>(data.data()) + at, n); !s) return s;
  }
  return {};
}

support::Status BundleWriter::AddFile(const std::string& name, const std::string& path) {
  fileops::RawFile in = fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead);
  if (!in.IsOpen()) {
    return Errorf("entry \"%s\": cannot open %s: %s", name.c_str(), path.c_str(),
                  fileops::LastErrorText().c_str());
  }
  auto regular = in.RegularSize();
  if (!regular) {
    return Errorf("entry \"%s\": %s is not a regular file", name.c_str(), path.c_str());
  }
  uint64_t size = *regular;
  const uint64_t chunks = ChunkCount(size, options_.chunkSize);
  support::Status status = CountEntry(name, chunks);
  if (status) status = BeginEntry(name, static_cast<uint32_t>(chunks));
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, options_.chunkSize)));
  uint64_t done = 0;
  while (status && done < size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, options_.chunkSize));
    const int64_t got = in.ReadFullyAt(done, buffer.data(), want);
    if (got != static_cast<int64_t>(want)) {
      status =
          Errorf("entry \"%s\": %s gave %lld of %zu bytes at offset %llu (changed while read?)",
                 name.c_str(), path.c_str(), static_cast<long long>(got), want,
                 static_cast<unsigned long long>(done));
      break;
    }
    status = CompressChunk(buffer.data(), want);
    done += want;
  }
  return status;
}

support::Status BundleWriter::Finish(bool terminate) {
  if (!out_) return Errorf("bundle writer: not begun or already finished");
  if (terminate) {
    const uint8_t end[4] = {0, 0, 0, 0};
    if (auto s = WriteScrambled(end, 4); !s) return s;
  }
  // Junk: plain, signed, deterministic filler.
  uint64_t left = options_.junkLength;
  uint32_t seed = 0x2545F491u;
  std::vector<uint8_t> junk(8192);
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, junk.size()));
    for (size_t i = 0; i < n; ++i) {
      seed = seed * 1103515245u + 12345u;
      junk[i] = static_cast<uint8_t>(seed >> 16);
    }
    if (auto s = WriteSigned(junk.data(), n); !s) return s;
    left -= n;
  }
  auto signature = signer_->Finish();
  if (std::optional<uint64_t> at = signer_->collisionAt()) {
    const std::string entry = EntryAt(*at);
    return Errorf("%s of the bundle (%s): refused to sign one half of a SHA-1 collision",
                  support::CollisionText(*at).c_str(),
                  entry.empty() ? "its header or junk" : ("in entry \"" + entry + "\"").c_str());
  }
  if (!signature) return signature.takeError();
  if (signedSha1_) {
    options_.signedDigest->assign(CryptoPP::SHA1::DIGESTSIZE, '\0');
    signedSha1_->Final(reinterpret_cast<uint8_t*>(options_.signedDigest->data()));
  }
  std::vector<uint8_t> tail;
  support::PutU32le(tail, static_cast<uint32_t>(signature->size()));
  tail.insert(tail.end(), signature->begin(), signature->end());
  support::PutU32le(tail, static_cast<uint32_t>(publicKeyBlock_.size()));
  tail.insert(tail.end(), publicKeyBlock_.begin(), publicKeyBlock_.end());
  if (tail.size() > bundle::kMaxSignatureBlock) {
    return Errorf(
        "signature block of %zu bytes exceeds the %u the reader accepts (bundle key or "
        "certificate too large)",
        tail.size(), bundle::kMaxSignatureBlock);
  }
  support::PutU32le(tail, static_cast<uint32_t>(tail.size()));
  tail.insert(tail.end(), bundle::kSignatureMarker, bundle::kSignatureMarker + 4);
  uint8_t digest[CryptoPP::SHA1::DIGESTSIZE];
  plainSha1_->Final(digest);
  tail.insert(tail.end(), digest, digest + sizeof digest);
  // The tail follows the signed region.
  buffer_.insert(buffer_.end(), tail.begin(), tail.end());
  support::Status status = Flush();
  if (status) status = out_->Commit();
  out_.reset();
  return status;
}

}  // namespace ztpack
