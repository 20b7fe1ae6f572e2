// Reading typed attachments from the end of a file region (see attachment_format.h for the
// layout). All three operations trace through support::Trace and fail by their result.
#pragma once

#include <cstdint>
#include <string>

#include "container/attachment_format.h"
#include "platform/platform.h"
#include "support/byte_reader.h"

namespace container {

// The walk over a chain, written once for the installer's readers below and for ztpack's
// listing of every attachment: backwards from the chain end, footer by footer, until 28 bytes
// are not a footer, cannot be read, or would start before offset 0. Each footer is decoded into
// `footer`, then `visit(footerOffset)` returns false to stop the walk (at the attachment it looks
// for, or at one it refuses); the walk does not look at the data or where it starts. `position`
// is the footer offset the walk ended at.
struct ChainWalk {
  enum End {
    kBeforeStart,  // the next footer would start before offset 0
    kUnreadable,   // its bytes lie (partly) past the end of the file
    kNoFooter,     // the bytes there are not a footer
    kStopped,      // the visitor stopped the walk
  };
  End end = kBeforeStart;
  int64_t position = 0;
};
template <typename Visit>
ChainWalk WalkChain(const support::ByteReader& reader, int64_t chainEnd, AttachmentFooter& footer,
                    Visit&& visit) {
  ChainWalk walk;
  walk.position = chainEnd - static_cast<int64_t>(kFooterSize);
  for (;;) {
    if (walk.position < 0) {
      walk.end = ChainWalk::kBeforeStart;
      return walk;
    }
    uint8_t raw[kFooterSize];
    if (!reader.Read(static_cast<uint64_t>(walk.position), raw, kFooterSize)) {
      walk.end = ChainWalk::kUnreadable;
      return walk;
    }
    if (!DecodeFooter(raw, &footer)) {
      walk.end = ChainWalk::kNoFooter;
      return walk;
    }
    if (!visit(walk.position)) {
      walk.end = ChainWalk::kStopped;
      return walk;
    }
    walk.position -= static_cast<int64_t>(footer.size) + static_cast<int64_t>(kFooterSize);
  }
}

// Copies the attachment's unscrambled data to destinationPath; true when the digest matched.
// fromSection: the chain ends at the end of the last PE section, else at the end of the file.
// Reports progress base + 0 .. base + span (exclusive) through support::ReportProgress.
// On every failure after the destination was created, it is deleted again.
bool ExtractAttachmentToFile(bool fromSection, const std::u16string& containerPath,
                             const std::string& type, const std::u16string& destinationPath,
                             int span, int base);
// The same from a container the caller has open (and may hold against changes); the handle is
// read from and closed.
bool ExtractAttachmentToFile(bool fromSection, platform::File& container, const std::string& type,
                             const std::u16string& destinationPath, int span, int base);

// The data of the attachment in the chain at the end of the last PE section; empty on failure.
std::string ReadAttachmentToString(const std::u16string& containerPath, const std::string& type);
// The same from a container the caller has open; the handle is read from and closed.
std::string ReadAttachmentToString(platform::File& container, const std::string& type);

// The data of the attachment in the chain that ends where the image ends (file length minus
// GetImageTrailerSize). *dataOffset receives the data's file offset as soon as the attachment
// has been located, even if reading it fails later.
std::string ReadAttachmentWithOffset(const std::u16string& containerPath, const std::string& type,
                                     int32_t* dataOffset);
// The same from a container the caller has open; the handle is read from and closed.
std::string ReadAttachmentWithOffset(platform::File& container, const std::string& type,
                                     int32_t* dataOffset);

}  // namespace container
