// Three small PE header readers used by the attachment container and the setup signature check.
// They know nothing of attachments. Every read goes through support::ByteReader over the file,
// so only the header bytes are read and nothing is read outside the file.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace container {

// The PE header fields both sides know: the front end's readers here, and ztpack's PE writer.
constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint64_t kLfanewOffset = 0x3C;       // e_lfanew: where the NT headers start
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr int kCertificateDirectory = 4;  // the security entry of the data directory

// The optional header sizes of the standard PE32 (i386) and PE32+ (x64) layouts; the
// header-tolerant signature pass handles these layouts only.
constexpr uint16_t kPe32OptionalHeaderSize = 224;
constexpr uint16_t kPe32PlusOptionalHeaderSize = 240;

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
