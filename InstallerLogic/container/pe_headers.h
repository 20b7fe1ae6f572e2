// The PE/COFF headers of an executable, read once for every side: the front end's locators
// (container/pe_locator.h), ztpack's header model and its section writer (read/pe_sections.h,
// author/pe_image.h).
//
// The headers. A DOS header with "MZ" at offset 0 and, at 0x3C, e_lfanew: the offset of the
// NT headers, which start with "PE\0\0". Behind the signature the 20-byte COFF file header
// (Machine, NumberOfSections, PointerToSymbolTable, NumberOfSymbols, SizeOfOptionalHeader, ...),
// then the optional header of SizeOfOptionalHeader bytes (magic 0x10B for PE32, 0x20B for PE32+;
// its fixed fields, then NumberOfRvaAndSizes data directory entries of 8 bytes), then the section
// table: NumberOfSections entries of 40 bytes (name, VirtualSize, VirtualAddress, SizeOfRawData,
// PointerToRawData, ..., Characteristics). The loader finds the table through
// SizeOfOptionalHeader, so this reader does too.
//
// The ".ZTBNDL" section. The installer carries its payload as an attachment chain (see
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
// When the writer refuses, and why.
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
// What is trusted. Every field is read through support::ByteReader, so nothing is read outside
// the file and only the header bytes are read; each caller checks the values against the file
// and against each other before it uses them. The reader is header-only and small: the front
// end links the few accessors it calls and nothing else.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "support/byte_reader.h"

namespace container {

constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint64_t kLfanewOffset = 0x3C;       // e_lfanew: where the NT headers start
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr int kCertificateDirectory = 4;  // the security entry of the data directory
constexpr uint64_t kMaxDataDirectories = 16;

// The optional header sizes of the standard PE32 (i386) and PE32+ (x64) layouts; the
// header-tolerant signature pass handles these layouts only.
constexpr uint16_t kPe32OptionalHeaderSize = 224;
constexpr uint16_t kPe32PlusOptionalHeaderSize = 240;

// Field offsets from the start of the NT headers (e_lfanew).
constexpr uint64_t kNtMachine = 4;
constexpr uint64_t kNtNumberOfSections = 6;
constexpr uint64_t kNtPointerToSymbolTable = 12;
constexpr uint64_t kNtNumberOfSymbols = 16;
constexpr uint64_t kNtSizeOfOptionalHeader = 20;
constexpr uint64_t kNtOptionalHeader = 24;
// Field offsets in the optional header (the same in PE32 and PE32+ up to CheckSum).
constexpr uint64_t kOptSectionAlignment = 32;
constexpr uint64_t kOptFileAlignment = 36;
constexpr uint64_t kOptSizeOfImage = 56;
constexpr uint64_t kOptSizeOfHeaders = 60;
constexpr uint64_t kOptCheckSum = 64;
// Where the data directory starts: behind NumberOfRvaAndSizes, the last fixed field.
constexpr uint64_t DataDirectoryOffset(bool is64) { return is64 ? 112 : 96; }
// Field offsets in a section table entry.
constexpr uint64_t kSecVirtualSize = 8;
constexpr uint64_t kSecVirtualAddress = 12;
constexpr uint64_t kSecSizeOfRawData = 16;
constexpr uint64_t kSecPointerToRawData = 20;
constexpr uint64_t kSecCharacteristics = 36;

// Why the NT headers were not found.
enum class PeFault {
  kNone,
  kShortDosHeader,  // the file ends before the "MZ"
  kNoMz,
  kNoLfanew,        // the file ends before e_lfanew
  kShortNtHeaders,  // e_lfanew lies past the end of the file
  kNoPeSignature,
};

struct PeSectionHeader {
  char name[8];  // zero-padded, not terminated when 8 characters long
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t sizeOfRawData;
  uint32_t pointerToRawData;
  uint32_t characteristics;
  uint64_t offset;  // of this entry in the file
};

struct PeDirectoryEntry {
  uint32_t address = 0;  // an RVA, except for the certificate table (a file offset)
  uint32_t size = 0;
};

class PeHeaders {
 public:
  // Finds the NT headers of the source; `fault` says why not when it returns nothing.
  // One read after the other, each only when the one before it held.
  static std::optional<PeHeaders> Find(const support::ByteReader& reader, PeFault* fault) {
    *fault = PeFault::kShortDosHeader;
    auto magic = reader.U16le(0);
    if (!magic) return std::nullopt;
    *fault = PeFault::kNoMz;
    if (*magic != kDosMagic) return std::nullopt;
    *fault = PeFault::kNoLfanew;
    auto lfanew = reader.U32le(kLfanewOffset);
    if (!lfanew) return std::nullopt;
    *fault = PeFault::kShortNtHeaders;
    auto signature = reader.U32le(*lfanew);
    if (!signature) return std::nullopt;
    *fault = PeFault::kNoPeSignature;
    if (*signature != kNtSignature) return std::nullopt;
    *fault = PeFault::kNone;
    return PeHeaders(reader, *lfanew);
  }

  uint32_t lfanew() const { return lfanew_; }
  const support::ByteReader& reader() const { return reader_; }
  // A field of the NT headers, `at` bytes from their start.
  std::optional<uint16_t> U16(uint64_t at) const { return reader_.U16le(uint64_t{lfanew_} + at); }
  std::optional<uint32_t> U32(uint64_t at) const { return reader_.U32le(uint64_t{lfanew_} + at); }

  std::optional<uint16_t> Machine() const { return U16(kNtMachine); }
  std::optional<uint16_t> NumberOfSections() const { return U16(kNtNumberOfSections); }
  std::optional<uint16_t> SizeOfOptionalHeader() const { return U16(kNtSizeOfOptionalHeader); }
  std::optional<uint16_t> OptionalMagic() const { return U16(kNtOptionalHeader); }
  uint64_t OptionalHeaderOffset() const { return uint64_t{lfanew_} + kNtOptionalHeader; }
  // Where the loader finds the section table: behind the optional header of the size given.
  uint64_t SectionTableOffset(uint16_t sizeOfOptionalHeader) const {
    return OptionalHeaderOffset() + sizeOfOptionalHeader;
  }
  static uint64_t SectionEntryOffset(uint64_t table, uint64_t index) {
    return table + kSectionHeaderSize * index;
  }

  // Entry `index` of the section table at `table`, when all its 40 bytes are in the file.
  std::optional<PeSectionHeader> Section(uint64_t table, uint64_t index) const {
    const uint64_t at = SectionEntryOffset(table, index);
    uint8_t raw[kSectionHeaderSize];
    if (!reader_.Read(at, raw, sizeof raw)) return std::nullopt;
    PeSectionHeader s;
    for (int i = 0; i < 8; ++i) s.name[i] = static_cast<char>(raw[i]);
    s.virtualSize = support::LoadU32le(raw + kSecVirtualSize);
    s.virtualAddress = support::LoadU32le(raw + kSecVirtualAddress);
    s.sizeOfRawData = support::LoadU32le(raw + kSecSizeOfRawData);
    s.pointerToRawData = support::LoadU32le(raw + kSecPointerToRawData);
    s.characteristics = support::LoadU32le(raw + kSecCharacteristics);
    s.offset = at;
    return s;
  }

  // The data directory entries of an optional header of `size` bytes that lies in the file and
  // holds at least the fixed fields: NumberOfRvaAndSizes of them, but never more than fit in the
  // header or than the 16 the format defines (the field's claim beyond that is not believed).
  std::vector<PeDirectoryEntry> DataDirectories(uint16_t size, bool is64) const {
    const uint64_t opt = OptionalHeaderOffset();
    const uint64_t at = DataDirectoryOffset(is64);
    std::vector<PeDirectoryEntry> out;
    auto claimed = reader_.U32le(opt + at - 4);
    if (!claimed || size < at) return out;
    const uint64_t count = std::min<uint64_t>({*claimed, (size - at) / 8, kMaxDataDirectories});
    for (uint64_t i = 0; i < count; ++i) {
      auto address = reader_.U32le(opt + at + 8 * i);
      auto length = reader_.U32le(opt + at + 8 * i + 4);
      if (!address || !length) break;
      out.push_back({*address, *length});
    }
    return out;
  }

 private:
  PeHeaders(const support::ByteReader& reader, uint32_t lfanew)
      : reader_(reader), lfanew_(lfanew) {}

  support::ByteReader reader_;
  uint32_t lfanew_;
};

}  // namespace container
