#include "read/attachment_chain.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstring>
#include <memory>

#include "container/attachment.h"
#include "container/attachment_format.h"
#include "platform/platform.h"
#include "support/byte_reader.h"
#include "support/text.h"

namespace ztpack {
namespace {

using ull = unsigned long long;

bool DigestMatches(const support::ByteReader& reader, int64_t offset, uint32_t size,
                   const uint8_t* expected, uint8_t* buffer) {
  CryptoPP::Weak::MD5 md5;
  for (uint64_t done = 0; done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, container::kFileChunkSize));
    if (!reader.Read(static_cast<uint64_t>(offset) + done, buffer, n)) return false;
    container::ScrambleInPlace(buffer, n);
    md5.Update(buffer, n);
    done += n;
  }
  uint8_t digest[container::kDigestSize];
  md5.Final(digest);
  return std::memcmp(digest, expected, sizeof digest) == 0;
}

}  // namespace

support::Result<AttachmentChain> WalkAttachmentChain(const std::string& path, int64_t end,
                                                     bool checkDigests, size_t maxEntries) {
  platform::File file =
      platform::File::Open(support::Utf8ToWide(path, true), platform::OpenMode::kRead);
  if (!file.IsOpen()) return support::Errorf("%s: cannot open the file", path.c_str());
  int64_t size = file.Size();
  if (size < 0) return support::Errorf("%s: cannot read the file's size", path.c_str());
  support::ByteReader reader(file, static_cast<uint64_t>(size));
  std::unique_ptr<uint8_t[]> buffer;
  if (checkDigests) buffer.reset(new uint8_t[container::kFileChunkSize]);

  AttachmentChain chain;
  chain.end = end;
  if (end >= container::kPositionLimit) {
    chain.stop = "chain end at or beyond 2 GiB";
    return chain;
  }
  char text[160];
  container::AttachmentFooter footer;
  const container::ChainWalk walk =
      container::WalkChain(reader, end, footer, [&](int64_t position) {
        if (chain.entries.size() == maxEntries) {
          std::snprintf(text, sizeof text, "listing stopped after %zu attachments", maxEntries);
          chain.stop = text;
          return false;
        }
        ChainEntry entry;
        entry.type.assign(footer.type, container::kTypeSize);
        entry.size = footer.size;
        entry.footerOffset = position;
        entry.dataOffset = position - static_cast<int64_t>(footer.size);
        if (entry.dataOffset < 0) {
          std::snprintf(text, sizeof text, "%s footer at 0x%llx: size %u reaches before offset 0",
                        entry.type.c_str(), static_cast<ull>(position), footer.size);
          chain.stop = text;
          return false;
        }
        if (checkDigests) {
          entry.digestChecked = true;
          entry.digestMatches =
              DigestMatches(reader, entry.dataOffset, footer.size, footer.digest, buffer.get());
        }
        chain.entries.push_back(entry);
        return true;
      });
  const auto at = static_cast<ull>(walk.position);
  switch (walk.end) {
    case container::ChainWalk::kBeforeStart:
      chain.stop = chain.entries.empty() ? "no room for a footer" : "reached the start of the file";
      break;
    case container::ChainWalk::kUnreadable:
      std::snprintf(text, sizeof text, "footer at 0x%llx lies past the end of the file (0x%llx)",
                    at, static_cast<ull>(size));
      chain.stop = text;
      break;
    case container::ChainWalk::kNoFooter:
      std::snprintf(text, sizeof text, "no footer at 0x%llx", at);
      chain.stop = text;
      break;
    case container::ChainWalk::kStopped: break;  // `stop` says why
  }
  return chain;
}

const ChainEntry* FindInChain(const AttachmentChain& chain, const std::string& type) {
  for (const ChainEntry& entry : chain.entries) {
    if (entry.type == type) return &entry;
  }
  return nullptr;
}

}  // namespace ztpack
