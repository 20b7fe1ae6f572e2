#include "read/pe_sections.h"

#include <algorithm>

#include "platform/platform.h"
#include "support/byte_reader.h"
#include "support/text.h"

namespace ztpack {
namespace {

using ull = unsigned long long;
using container::PeFault;
using container::PeHeaders;

std::string SectionName(const container::PeSectionHeader& header) {
  size_t length = 0;
  while (length < 8 && header.name[length] != 0) ++length;
  return std::string(header.name, length);
}

// Why the NT headers were not found, as ReadPeImage says it.
support::Status NtHeadersError(const support::ByteReader& reader, PeFault fault, const char* p) {
  const uint64_t size = reader.size();
  switch (fault) {
    case PeFault::kShortDosHeader:
      return support::Errorf("%s: DOS header: file of %lld bytes is too short", p,
                             static_cast<long long>(size));
    case PeFault::kNoMz:
      return support::Errorf("%s: DOS header: no \"MZ\" at offset 0 (0x%04x)", p, *reader.U16le(0));
    case PeFault::kNoLfanew:
      return support::Errorf(
          "%s: DOS header: e_lfanew at 0x3c lies past the end of the file (0x%llx)", p,
          static_cast<ull>(size));
    case PeFault::kShortNtHeaders:
      return support::Errorf("%s: NT headers: e_lfanew 0x%x lies past the end of the file (0x%llx)",
                             p, *reader.U32le(container::kLfanewOffset), static_cast<ull>(size));
    default:
      return support::Errorf("%s: NT headers: no \"PE\\0\\0\" signature at 0x%x", p,
                             *reader.U32le(container::kLfanewOffset));
  }
}

// The COFF symbol table's end: 18 bytes per symbol, then the string table, whose first four
// bytes give its size (the size field included). A file that ends right after the symbols has
// no strings. 0 when the table does not lie whole in the file.
uint64_t SymbolTableEnd(const support::ByteReader& reader, uint32_t pointer, uint32_t symbols) {
  if (pointer == 0) return 0;
  const uint64_t strings = uint64_t{pointer} + 18ull * symbols;
  if (strings == reader.size()) return strings;
  auto stringsSize = reader.U32le(strings);
  if (stringsSize && *stringsSize >= 4 && reader.Has(strings, *stringsSize)) {
    return strings + *stringsSize;
  }
  return 0;
}

// The optional header: its magic, the fields the writer plans with and the data directory.
support::Status ReadOptionalHeader(const PeHeaders& pe, PeImage* image, const char* p) {
  const support::ByteReader& reader = pe.reader();
  const uint64_t opt = pe.OptionalHeaderOffset();
  auto optMagic = pe.OptionalMagic();
  if (!optMagic)
    return support::Errorf("%s: optional header: offset 0x%llx lies past the end of the file", p,
                           static_cast<ull>(opt));
  if (*optMagic != kPe32Magic && *optMagic != kPe32PlusMagic) {
    return support::Errorf(
        "%s: optional header: magic 0x%x at 0x%llx is neither PE32 (0x10b) nor PE32+ (0x20b)", p,
        *optMagic, static_cast<ull>(opt));
  }
  image->optionalMagic = *optMagic;
  const uint16_t optionalSize = image->sizeOfOptionalHeader;
  const uint64_t directoriesAt = container::DataDirectoryOffset(image->is64());
  if (optionalSize < directoriesAt) {
    return support::Errorf(
        "%s: optional header: SizeOfOptionalHeader %u is smaller than the %llu bytes of fixed "
        "fields",
        p, optionalSize, static_cast<ull>(directoriesAt));
  }
  if (!reader.Has(opt, optionalSize)) {
    return support::Errorf(
        "%s: optional header: %u bytes at 0x%llx run past the end of the file (0x%llx)", p,
        optionalSize, static_cast<ull>(opt), static_cast<ull>(reader.size()));
  }
  image->sectionAlignment = *reader.U32le(opt + container::kOptSectionAlignment);
  image->fileAlignment = *reader.U32le(opt + container::kOptFileAlignment);
  image->sizeOfImage = *reader.U32le(opt + container::kOptSizeOfImage);
  image->sizeOfHeaders = *reader.U32le(opt + container::kOptSizeOfHeaders);
  image->checkSum = *reader.U32le(opt + container::kOptCheckSum);
  image->directories = pe.DataDirectories(optionalSize, image->is64());
  return {};
}

}  // namespace

std::optional<PeDataDirectory> PeImage::certificateTable() const {
  if (directories.size() <= kCertificateDirectory) return std::nullopt;
  return directories[kCertificateDirectory];
}

uint64_t PeImage::lastSectionEnd() const {
  if (sections.empty()) return 0;
  return uint64_t{sections.back().pointerToRawData} + sections.back().sizeOfRawData;
}

support::Result<PeImage> ReadPeImage(const std::string& path) {
  platform::File file =
      platform::File::Open(support::Utf8ToWide(path, true), platform::OpenMode::kRead);
  if (!file.IsOpen()) return support::Errorf("%s: cannot open the file", path.c_str());
  int64_t size = file.Size();
  if (size < 0) return support::Errorf("%s: cannot read the file's size", path.c_str());
  const char* p = path.c_str();
  support::ByteReader reader(file, static_cast<uint64_t>(size));

  PeFault fault;
  auto pe = PeHeaders::Find(reader, &fault);
  if (!pe) return NtHeadersError(reader, fault, p).takeError();
  PeImage image;
  image.fileSize = static_cast<uint64_t>(size);
  image.lfanew = pe->lfanew();
  auto machine = pe->Machine();
  auto sections = pe->NumberOfSections();
  auto optionalSize = pe->SizeOfOptionalHeader();
  if (!machine || !sections || !optionalSize) {
    return support::Errorf("%s: file header: the 20 bytes at 0x%llx run past the end of the file",
                           p, static_cast<ull>(uint64_t{image.lfanew} + container::kNtMachine));
  }
  image.machine = *machine;
  image.sizeOfOptionalHeader = *optionalSize;
  image.pointerToSymbolTable = pe->U32(container::kNtPointerToSymbolTable).value_or(0);
  image.numberOfSymbols = pe->U32(container::kNtNumberOfSymbols).value_or(0);
  image.symbolTableEnd = SymbolTableEnd(reader, image.pointerToSymbolTable, image.numberOfSymbols);
  if (auto status = ReadOptionalHeader(*pe, &image, p); !status) {
    return status.takeError();
  }

  const uint64_t table = image.sectionTableOffset();
  if (*sections > kMaxSections) {
    return support::Errorf(
        "%s: section table: NumberOfSections %u exceeds the loader's limit of %zu", p, *sections,
        kMaxSections);
  }
  for (uint64_t i = 0; i < *sections; ++i) {
    auto header = pe->Section(table, i);
    if (!header) {
      return support::Errorf(
          "%s: section table: entry %llu at 0x%llx lies past the end of the file (0x%llx)", p,
          static_cast<ull>(i), static_cast<ull>(PeHeaders::SectionEntryOffset(table, i)),
          static_cast<ull>(size));
    }
    image.sections.push_back({SectionName(*header), header->virtualSize, header->virtualAddress,
                              header->sizeOfRawData, header->pointerToRawData,
                              header->characteristics, header->offset});
  }
  return image;
}

const PeSectionView* PeView::Section(const std::string& name) const {
  for (const PeSectionView& s : sections) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

std::optional<uint64_t> PeView::RvaToOffset(uint32_t rva, uint32_t length) const {
  for (const PeSectionView& s : sections) {
    const uint64_t start = s.virtualAddress;
    const uint64_t extent = std::min(s.sizeOfRawData, std::max(s.virtualSize, s.sizeOfRawData));
    if (rva < start || uint64_t{rva} + length > start + extent) continue;
    const uint64_t offset = uint64_t{s.pointerToRawData} + (rva - start);
    if (offset + length > fileSize) return std::nullopt;
    return offset;
  }
  return std::nullopt;
}

support::Result<PeView> ReadPeView(const std::string& path) {
  platform::File file =
      platform::File::Open(support::Utf8ToWide(path, true), platform::OpenMode::kRead);
  if (!file.IsOpen()) return support::Errorf("%s: cannot open the file", path.c_str());
  const int64_t size = file.Size();
  if (size < 0) return support::Errorf("%s: cannot read the file's size", path.c_str());
  support::ByteReader r(file, static_cast<uint64_t>(size));
  const char* p = path.c_str();
  PeView view;
  view.fileSize = static_cast<uint64_t>(size);
  PeFault fault;
  auto pe = PeHeaders::Find(r, &fault);
  if (fault == PeFault::kShortDosHeader || fault == PeFault::kNoMz)
    return support::Errorf("%s: not a PE file (no \"MZ\")", p);
  if (!pe) return support::Errorf("%s: not a PE file (no \"PE\\0\\0\" at e_lfanew)", p);
  auto count = pe->NumberOfSections();
  auto optionalSize = pe->SizeOfOptionalHeader();
  auto optMagic = pe->OptionalMagic();
  if (!count || !optionalSize || !optMagic) {
    return support::Errorf("%s: file header at 0x%llx runs past the end of the file", p,
                           static_cast<ull>(pe->lfanew()));
  }
  if (*optMagic != kPe32Magic && *optMagic != kPe32PlusMagic) {
    return support::Errorf("%s: optional header magic 0x%x is neither PE32 nor PE32+", p,
                           *optMagic);
  }
  view.is64 = *optMagic == kPe32PlusMagic;
  const uint64_t opt = pe->OptionalHeaderOffset();
  if (*optionalSize < container::DataDirectoryOffset(view.is64) || !r.Has(opt, *optionalSize)) {
    return support::Errorf("%s: optional header of %u bytes at 0x%llx is short or truncated", p,
                           *optionalSize, static_cast<ull>(opt));
  }
  for (const PeDataDirectory& d : pe->DataDirectories(*optionalSize, view.is64)) {
    view.directories.emplace_back(d.address, d.size);
  }
  const uint64_t table = pe->SectionTableOffset(*optionalSize);
  for (uint64_t i = 0; i < *count; ++i) {
    auto header = pe->Section(table, i);
    if (!header) {
      return support::Errorf("%s: section table entry %llu at 0x%llx lies past the end of the file",
                             p, static_cast<ull>(i),
                             static_cast<ull>(PeHeaders::SectionEntryOffset(table, i)));
    }
    view.sections.push_back({SectionName(*header), header->virtualAddress, header->virtualSize,
                             header->pointerToRawData, header->sizeOfRawData});
  }
  return view;
}

}  // namespace ztpack
