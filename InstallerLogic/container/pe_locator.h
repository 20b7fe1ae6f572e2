// Three small PE header readers used by the attachment container and the setup signature check.
// They know nothing of attachments. The headers are read through container/pe_headers.h over the
// file, so only the header bytes are read and nothing is read outside the file.
#pragma once

#include <cstdint>
#include <vector>

#include "container/pe_headers.h"
#include "platform/platform.h"

namespace container {

struct ByteRange {
  int32_t offset;
  int32_t length;
};

// File offset just behind the raw data of the last section-table entry (its PointerToRawData
// plus SizeOfRawData), or -1. A file of 2 GiB or more, or an end at or beyond 2 GiB, is refused
// with -1, not folded back into range. Prints "Error reading file", "Invalid DOS Sig" or
// "Invalid NT Sig" on standard output.
// Leaves the file positioned at its end.
int32_t GetLastSectionEnd(platform::File* file);

// Bytes behind SizeOfImage in a signed image (certificate table larger than 256 bytes), else 0.
// fileSize 0 asks the file.
uint32_t GetImageTrailerSize(platform::File* file, uint32_t fileSize);

// Appends the five header ranges the header-tolerant signature pass skips; false, with nothing
// appended, when the file is not a PE it can handle: machine i386 with a PE32 optional header of
// exactly 224 bytes, or x64 with a PE32+ optional header of exactly 240 bytes.
bool CollectHeaderSkipRanges(platform::File* file, std::vector<ByteRange>* ranges);

}  // namespace container
