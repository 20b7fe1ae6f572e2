// The PE headers as ztpack reads them, through the one reader of the core
// (container/pe_headers.h, which also describes the ".ZTBNDL" section): the full header model
// that the section writer plans with (author/pe_image.h) and the reading side inspects, and a
// lighter view of the section table and data directories for the key place and the resources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/pe_headers.h"
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

using PeDataDirectory = container::PeDirectoryEntry;

using container::kCertificateDirectory;
using container::kPe32Magic;
using container::kPe32PlusMagic;

// The Windows loader's limit on NumberOfSections.
constexpr size_t kMaxSections = 96;

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
  uint64_t optionalHeaderOffset() const { return uint64_t{lfanew} + container::kNtOptionalHeader; }
  uint64_t numberOfSectionsOffset() const {
    return uint64_t{lfanew} + container::kNtNumberOfSections;
  }
  uint64_t sizeOfImageOffset() const { return optionalHeaderOffset() + container::kOptSizeOfImage; }
  uint64_t checkSumOffset() const { return optionalHeaderOffset() + container::kOptCheckSum; }
  uint64_t dataDirectoryOffset() const {
    return optionalHeaderOffset() + container::DataDirectoryOffset(is64());
  }
  uint64_t sectionTableOffset() const { return optionalHeaderOffset() + sizeOfOptionalHeader; }
  std::optional<PeDataDirectory> certificateTable() const;
  // End of the last table entry's raw data: where the reader's section chain ends.
  uint64_t lastSectionEnd() const;
};

// Parses the headers of the file at `path`, reading only the header bytes. Errors name the file
// and the structure: "a.exe: section table: entry 3 at 0x1f8 lies past the end of the file".
support::Result<PeImage> ReadPeImage(const std::string& path);

struct PeSectionView {
  std::string name;  // up to 8 bytes, trailing zeros removed
  uint32_t virtualAddress = 0, virtualSize = 0, pointerToRawData = 0, sizeOfRawData = 0;
};

struct PeView {
  uint64_t fileSize = 0;
  bool is64 = false;
  std::vector<std::pair<uint32_t, uint32_t>> directories;  // RVA, size
  std::vector<PeSectionView> sections;

  const PeSectionView* Section(const std::string& name) const;
  // The file offset of `length` bytes at `rva`, when they lie in one section's raw data.
  std::optional<uint64_t> RvaToOffset(uint32_t rva, uint32_t length) const;
};

// The headers of the PE file at `path`, without the writer's checks (any number of sections);
// errors name the structure and the offset.
support::Result<PeView> ReadPeView(const std::string& path);

}  // namespace ztpack
