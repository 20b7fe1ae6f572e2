#include "container/attachment.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/filters.h>
#include <cryptopp/md5.h>

#include <cstring>
#include <memory>
#include <optional>

#include "bundle/hash_behind.h"
#include "container/attachment_format.h"
#include "container/pe_locator.h"
#include "platform/platform.h"
#include "support/byte_reader.h"
#include "support/launch_state.h"
#include "support/text.h"
#include "support/trace.h"

namespace container {
namespace {

// The three operations differ only in these few points; the search and the copy are one.
enum class ChainEnd { kLastSection, kFileLength, kImageEnd };

struct Variant {
  platform::OpenMode openMode;
  ChainEnd chainEnd;
  bool traceFound;
  size_t chunkSize;
};

// Receives the unscrambled chunks: a destination file or a growing string.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool Put(const uint8_t* data, size_t length) = 0;
};

class StringSink : public Sink {
 public:
  bool Put(const uint8_t* data, size_t length) override {
    text.append(reinterpret_cast<const char*>(data), length);
    return true;
  }
  std::string text;
};

class FileSink : public Sink {
 public:
  explicit FileSink(platform::File* file) : file_(file) {}
  bool Put(const uint8_t* data, size_t length) override {
    return file_->Write(data, length) == static_cast<int64_t>(length);
  }

 private:
  platform::File* file_;
};

struct Progress {
  int span = 0;
  int base = 0;
};

// Where the chain ends in the variant's terms, or -1 when it has no valid end.
int64_t ChainEndOf(platform::File& container, ChainEnd chainEnd, int64_t length) {
  int64_t end = -1;
  switch (chainEnd) {
    case ChainEnd::kLastSection: end = GetLastSectionEnd(&container); break;
    case ChainEnd::kFileLength: end = length; break;
    case ChainEnd::kImageEnd:
      // The trailer is computed against the length the format can represent; a file of 2 GiB
      // or more has no valid chain end at all.
      end = length >= 0 && length < kPositionLimit
                ? length - GetImageTrailerSize(&container, static_cast<uint32_t>(length))
                : -1;
      break;
  }
  // Positions are signed 32-bit in the format: a chain end beyond that is refused, not wrapped.
  return end >= kPositionLimit ? -1 : end;
}

// The offset of the footer of the attachment of `type` nearest the chain end (decoded into
// *footer), or -1; traces what it finds and why it fails.
int64_t FindFooter(const support::ByteReader& reader, int64_t end, const Variant& variant,
                   const std::string& type, AttachmentFooter* footer) {
  const ChainWalk walk = WalkChain(reader, end, *footer, [&](int64_t) {
    if (variant.traceFound) {
      const std::string found(footer->type, kTypeSize);
      support::Trace("Found attachment: %s\n", found.c_str());
    }
    return std::memcmp(footer->type, type.data(), kTypeSize) != 0;
  });
  if (walk.end == ChainWalk::kStopped) return walk.position;
  support::Trace(walk.end == ChainWalk::kUnreadable ? "Header read fail\n" : "Not found!\n");
  return -1;
}

// Reads the data at `dataStart` in pieces, unscrambles each for the sink, and compares the
// digest at the end; closes the container then.
bool CopyData(platform::File& container, const support::ByteReader& reader, int64_t dataStart,
              const AttachmentFooter& footer, const Variant& variant, Sink& sink, uint8_t* buffer,
              const Progress* progress) {
  CryptoPP::Weak::MD5 md5;
  // A file copy is hashed on a second thread while this one reads, unscrambles and writes the
  // next piece: the digest is compared only at the end, so nothing else changes.
  uint8_t digest[kDigestSize];
  CryptoPP::HashFilter hashing(md5, new CryptoPP::ArraySink(digest, kDigestSize));
  std::optional<bundle::HashBehind> behind;
  if (progress != nullptr) behind.emplace(hashing);

  const uint64_t total = footer.size;
  uint64_t remaining = total;
  while (remaining > 0) {
    if (progress != nullptr) {
      const double done = static_cast<double>(total - remaining);
      const int offset =
          static_cast<int>(done * static_cast<double>(progress->span) / static_cast<double>(total));
      support::ReportProgress(progress->base, offset);
    }
    const size_t chunk =
        remaining < variant.chunkSize ? static_cast<size_t>(remaining) : variant.chunkSize;
    const uint64_t at = static_cast<uint64_t>(dataStart) + (total - remaining);
    if (!reader.Read(at, buffer, chunk)) {
      support::Trace("read fail\n");
      return false;
    }
    ScrambleInPlace(buffer, chunk);
    if (behind) {
      behind->Put(buffer, chunk);
    } else {
      hashing.Put(buffer, chunk);
    }
    if (!sink.Put(buffer, chunk)) {
      support::Trace("write fail\n");
      return false;
    }
    remaining -= chunk;
  }

  if (behind) behind->Finish();
  hashing.MessageEnd();
  container.Close();
  if (std::memcmp(digest, footer.digest, kDigestSize) != 0) {
    support::Trace("hash fail\n");
    return false;
  }
  support::Trace("Extracted\n");
  return true;
}

// The common search and read. `progress` is set only for the file variant; `dataOffset` only
// for ReadAttachmentWithOffset. Traces every step; the caller closes and cleans up on failure.
bool FindAndCopy(platform::File& container, const Variant& variant, const std::string& type,
                 Sink& sink, uint8_t* buffer, const Progress* progress, int32_t* dataOffset) {
  if (type.size() != kTypeSize) {
    support::Trace("Invalid type to extract: %s\n", type.c_str());
    return false;
  }
  support::Trace("Going to extract file: %s\n", type.c_str());

  const int64_t length = container.Size();
  const int64_t end = ChainEndOf(container, variant.chainEnd, length);
  support::ByteReader reader(container, length < 0 ? 0 : static_cast<uint64_t>(length));
  AttachmentFooter footer;
  const int64_t position = FindFooter(reader, end, variant, type, &footer);
  if (position < 0) return false;

  const int64_t dataStart = position - static_cast<int64_t>(footer.size);
  if (dataStart < 0) {
    support::Trace("Invalid pos\n");
    return false;
  }
  if (dataOffset != nullptr) *dataOffset = static_cast<int32_t>(dataStart);
  return CopyData(container, reader, dataStart, footer, variant, sink, buffer, progress);
}

std::string ReadToString(const std::u16string& containerPath, const std::string& type,
                         const Variant& variant, int32_t* dataOffset) {
  platform::File container = platform::File::Open(containerPath, variant.openMode);
  if (!container.IsOpen()) {
    support::Trace("Could not open container: %s\n", support::WideToUtf8(containerPath).c_str());
    return std::string();
  }
  uint8_t buffer[kMemoryChunkSize];
  StringSink sink;
  if (!FindAndCopy(container, variant, type, sink, buffer, nullptr, dataOffset)) {
    return std::string();
  }
  return std::move(sink.text);
}

}  // namespace

bool ExtractAttachmentToFile(bool fromSection, const std::u16string& containerPath,
                             const std::string& type, const std::u16string& destinationPath,
                             int span, int base) {
  platform::File container = platform::File::Open(containerPath, platform::OpenMode::kRead);
  if (!container.IsOpen()) {
    support::Trace("Could not open container: %s\n", support::WideToUtf8(containerPath).c_str());
    return false;
  }
  return ExtractAttachmentToFile(fromSection, container, type, destinationPath, span, base);
}

bool ExtractAttachmentToFile(bool fromSection, platform::File& container, const std::string& type,
                             const std::u16string& destinationPath, int span, int base) {
  if (!container.IsOpen()) {
    support::Trace("Could not open container\n");
    return false;
  }
  platform::File destination = platform::File::Open(destinationPath, platform::OpenMode::kWrite);
  if (!destination.IsOpen()) {
    support::Trace("Could not open destination: %s\n",
                   support::WideToUtf8(destinationPath).c_str());
    return false;
  }

  const Variant variant{platform::OpenMode::kRead,
                        fromSection ? ChainEnd::kLastSection : ChainEnd::kFileLength, true,
                        kFileChunkSize};
  // One heap buffer per call: a container of any size is copied in bounded memory.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kFileChunkSize]);
  FileSink sink(&destination);
  const Progress progress{span, base};
  bool ok = FindAndCopy(container, variant, type, sink, buffer.get(), &progress, nullptr);
  container.Close();
  destination.Close();
  // From its creation on, the destination survives only a successful extraction.
  if (!ok) platform::DeleteFile(destinationPath);
  return ok;
}

std::string ReadAttachmentToString(const std::u16string& containerPath, const std::string& type) {
  const Variant variant{platform::OpenMode::kRead, ChainEnd::kLastSection, true, kMemoryChunkSize};
  return ReadToString(containerPath, type, variant, nullptr);
}

std::string ReadAttachmentToString(platform::File& container, const std::string& type) {
  if (!container.IsOpen()) {
    support::Trace("Could not open container\n");
    return std::string();
  }
  const Variant variant{platform::OpenMode::kRead, ChainEnd::kLastSection, true, kMemoryChunkSize};
  uint8_t buffer[kMemoryChunkSize];
  StringSink sink;
  if (!FindAndCopy(container, variant, type, sink, buffer, nullptr, nullptr)) return std::string();
  return std::move(sink.text);
}

std::string ReadAttachmentWithOffset(const std::u16string& containerPath, const std::string& type,
                                     int32_t* dataOffset) {
  const Variant variant{platform::OpenMode::kReadShareAll, ChainEnd::kImageEnd, false,
                        kMemoryChunkSize};
  return ReadToString(containerPath, type, variant, dataOffset);
}

std::string ReadAttachmentWithOffset(platform::File& container, const std::string& type,
                                     int32_t* dataOffset) {
  if (!container.IsOpen()) {
    support::Trace("Could not open container\n");
    return std::string();
  }
  const Variant variant{platform::OpenMode::kReadShareAll, ChainEnd::kImageEnd, false,
                        kMemoryChunkSize};
  uint8_t buffer[kMemoryChunkSize];
  StringSink sink;
  if (!FindAndCopy(container, variant, type, sink, buffer, nullptr, dataOffset)) {
    return std::string();
  }
  return std::move(sink.text);
}

}  // namespace container
