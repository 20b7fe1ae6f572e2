// Walking an attachment chain for the tools (inspect, verify, extract): the installer's own walk
// (container/attachment.h, WalkChain: backwards from the chain end, footer by footer, until 28
// bytes are not a footer or the position falls below 0), but it lists every attachment instead
// of stopping at one type, prints nothing, and says why the walk ended. Digests are checked by
// streaming the data in 1 MiB pieces, so memory stays bounded for attachments of any size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/result.h"

namespace ztpack {

struct ChainEntry {
  std::string type;          // the footer's four type bytes
  uint32_t size = 0;         // data size from the footer
  int64_t dataOffset = 0;    // file offset of the data
  int64_t footerOffset = 0;  // file offset of the footer
  bool digestChecked = false;
  bool digestMatches = false;
};

struct AttachmentChain {
  int64_t end = 0;                  // the chain end the walk started from
  std::vector<ChainEntry> entries;  // nearest to the end first (the reader's order)
  std::string stop;                 // why the walk ended, in words
};

// Walks the chain of the file at `path` that ends at `end`. At most `maxEntries` attachments are
// listed (the rest is reported in `stop`), so a crafted file cannot make the list grow without
// bound. Fails only when the file cannot be read at all.
support::Result<AttachmentChain> WalkAttachmentChain(const std::string& path, int64_t end,
                                                     bool checkDigests, size_t maxEntries = 4096);

// The first entry of `type` from the chain end (the one the reader would pick), or null.
const ChainEntry* FindInChain(const AttachmentChain& chain, const std::string& type);

}  // namespace ztpack
