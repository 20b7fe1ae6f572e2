// Reading typed attachments from the end of a file region (see attachment_format.h for the
// layout). All three operations trace through support::Trace and fail by their result.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace container {

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
