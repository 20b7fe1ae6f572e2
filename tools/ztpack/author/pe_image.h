// A PE32 / PE32+ header model for the writing side, and the writer of the ".ZTBNDL" section.
//
// What the section is. The installer carries its payload as an attachment chain (see
// container/attachment_format.h) at the end of the raw data of its last section, ".ZTBNDL",
// and finds that end through the last entry of the section table. In a signed executable the
// reader looks for a chain that ends where the image ends (SizeOfImage), so the section is laid
// out to make those two ends one file offset:
//
//   - its virtual address equals its file offset (PointerToRawData == VirtualAddress),
//   - its virtual size equals its raw size,
//   - SizeOfImage is the section's end, not rounded up to the section alignment.
//
// The section starts at the first offset that is aligned to both the section alignment and the
// file alignment and lies behind every other section's raw data and virtual extent, so it
// overlaps nothing in the file or in memory. Its raw size is rounded up to the file alignment by
// zero bytes put IN FRONT of the chain: the chain must end exactly at the section's end, and a
// chain is walked backwards from there, so leading zeros are never seen. An installer with an
// identity has its resource tree at the section's start, in front of those zeros (at least 32 of
// them, where the backward walk ends; author/identity.h). NumberOfSections,
// SizeOfImage and CheckSum (the standard PE checksum) are updated; a last section already
// named ".ZTBNDL" is replaced in place of being doubled.
//
// When it is refused, and why.
//   - No slack for one more section header: the new header goes directly behind the table and
//     must end within SizeOfHeaders and before the first section's raw data; the 40 bytes must
//     be zero and no data directory (the bound import table lives there in some linkers' output)
//     may reach into them. Moving the sections to make room would shift every raw pointer and
//     break debug directories and anything else that holds file offsets.
//   - A certificate table: the file is signed. The new section would invalidate the signature,
//     and the table (which must stay at the end of the file) would end up in front of the
//     section or be lost. Sign after writing the section.
//   - An overlay (bytes behind the last section's raw data: debug data, appended payloads,
//     anything found by its distance from the end of the file): it would be buried in front of
//     the new section, away from the file end its reader expects. Remove it first.
//     The one overlay accepted is a COFF symbol table with its string table (unstripped MinGW
//     output and the DLLs Wine installs carry one): it is found only through
//     PointerToSymbolTable, an absolute offset, so it stays where it is, untouched, and the
//     new section goes behind it. The section's end is then still the end of the file.
//   - Anything that would put the section's end at or beyond 2 GiB (the reader's positions are
//     signed 32-bit).
//
// What is trusted. Every header field is read through support::ByteReader and checked against
// the file's size and against the other fields before it is used; nothing is cast onto file
// bytes, and only the header bytes are read when parsing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "author/attachment_writer.h"
#include "author/installer_keys.h"
#include "container/attachment_format.h"
#include "container/pe_locator.h"
#include "support/result.h"

namespace ztpack {

struct PeSection {
  std::string name;  // up to 8 characters, trailing zero bytes removed
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t sizeOfRawData = 0;
  uint32_t pointerToRawData = 0;
  uint32_t characteristics = 0;
  uint64_t headerOffset = 0;  // file offset of this entry of the section table
};

struct PeDataDirectory {
  uint32_t address = 0;  // an RVA, except for the certificate table (a file offset)
  uint32_t size = 0;
};

using container::kCertificateDirectory;
using container::kPe32Magic;
using container::kPe32PlusMagic;

struct PeImage {
  uint64_t fileSize = 0;
  uint32_t lfanew = 0;
  uint16_t machine = 0;
  uint16_t sizeOfOptionalHeader = 0;
  uint16_t optionalMagic = 0;  // kPe32Magic or kPe32PlusMagic
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t checkSum = 0;
  uint32_t pointerToSymbolTable = 0;  // COFF symbol table (0: none)
  uint32_t numberOfSymbols = 0;
  uint64_t symbolTableEnd = 0;  // end of the symbols and the string table; 0 when not in the file
  std::vector<PeDataDirectory> directories;  // NumberOfRvaAndSizes entries (at most 16)
  std::vector<PeSection> sections;

  bool is64() const { return optionalMagic == kPe32PlusMagic; }
  uint64_t optionalHeaderOffset() const { return uint64_t{lfanew} + 24; }
  uint64_t numberOfSectionsOffset() const { return uint64_t{lfanew} + 6; }
  uint64_t sizeOfImageOffset() const { return optionalHeaderOffset() + 56; }
  uint64_t checkSumOffset() const { return optionalHeaderOffset() + 64; }
  uint64_t sectionTableOffset() const { return optionalHeaderOffset() + sizeOfOptionalHeader; }
  std::optional<PeDataDirectory> certificateTable() const;
  // End of the last table entry's raw data: where the reader's section chain ends.
  uint64_t lastSectionEnd() const;
};

// Parses the headers of the file at `path`, reading only the header bytes. Errors name the file
// and the structure: "a.exe: section table: entry 3 at 0x1f8 lies past the end of the file".
support::Result<PeImage> ReadPeImage(const std::string& path);

// The standard PE checksum of the file at `path` (16-bit one's complement sum of the file with
// the CheckSum field taken as zero, plus the file's length).
support::Result<uint32_t> ComputePeChecksum(const std::string& path, uint64_t checkSumOffset);
support::Result<uint32_t> ComputePeChecksum(OutputFile& file, uint64_t checkSumOffset);

// Where WriteBundleSection puts the section for a chain of `chainSize` bytes.
struct BundleSectionPlan {
  bool replaces = false;      // the last section is a ".ZTBNDL" being replaced
  uint64_t keepEnd = 0;       // bytes of the input copied unchanged (headers patched)
  uint64_t headerOffset = 0;  // the section table entry written
  uint32_t offset = 0;        // PointerToRawData == VirtualAddress
  uint32_t rawSize = 0;       // SizeOfRawData == VirtualSize
  uint32_t padding = 0;       // zero bytes in front of the chain
  uint16_t numberOfSections = 0;
};
support::Result<BundleSectionPlan> PlanBundleSection(const PeImage& image, uint64_t chainSize,
                                                     const std::string& what);

// Writes the attachments, in order, into a ".ZTBNDL" last section of the PE at `input`; the
// result goes to `output` (may be the same path), written beside and renamed.
support::Status WriteBundleSection(const std::string& input, const std::string& output,
                                   const std::vector<AttachmentInput>& attachments);
// The same into an output the caller commits (one that has nothing written yet). `patches` are
// written over the copy of the input's own bytes before the checksum is taken (the key place).
// `resources`, when given, makes the resource tree for the RVA it is given: the tree goes to the
// start of the section, in front of the chain, and the data directory's resource entry points to
// it (author/identity.h says why there).
using ResourceMaker = std::function<support::Result<std::string>(uint32_t rva)>;
support::Status WriteBundleSection(const std::string& input, OutputFile& output,
                                   const std::vector<AttachmentInput>& attachments,
                                   const std::vector<StubPatch>& patches = {},
                                   const ResourceMaker& resources = nullptr);

}  // namespace ztpack
