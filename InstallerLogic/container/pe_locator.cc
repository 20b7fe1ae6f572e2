#include "container/pe_locator.h"

#include <cstdio>
#include <cstring>

#include "container/attachment_format.h"
#include "support/byte_reader.h"

namespace container {
namespace {

constexpr uint32_t kCertificateThreshold = 256;

// The three messages go to standard output as narrow text. They are ASCII, so a wide print
// would write the same bytes; a narrow stream keeps stdout usable for the tools that link this
// code and print with printf (a wide print would fix the stream's orientation and make every
// later printf fail).
int32_t Refuse(const char* message) {
  std::fputs(message, stdout);
  std::fflush(stdout);
  return -1;
}

// The file's length for the mapping readers: the caller's value, or the file's own when 0.
// Lengths of 2 GiB and more are outside the format and give 0 (refused).
uint32_t MappedLength(platform::File* file, uint32_t fileSize) {
  if (fileSize != 0) return fileSize < 0x80000000u ? fileSize : 0;
  int64_t size = file->Size();
  if (size < 0 || size >= int64_t{1} << 31) return 0;
  return static_cast<uint32_t>(size);
}

}  // namespace

int32_t GetLastSectionEnd(platform::File* file) {
  if (file == nullptr || !file->IsOpen()) return -1;
  int64_t length = file->Seek(0, platform::Whence::kEnd);
  if (length < 0) return Refuse("Error reading file");
  // Only the header bytes are read (positioned reads through the bounds-checked reader); the
  // stream stays at its end as the callers expect.
  if (length >= kPositionLimit) return Refuse("Error reading file");
  support::ByteReader reader(*file, static_cast<uint64_t>(length));

  PeFault fault;
  auto pe = PeHeaders::Find(reader, &fault);
  if (fault == PeFault::kShortDosHeader || fault == PeFault::kNoMz) {
    return Refuse("Invalid DOS Sig");
  }
  if (!pe) return Refuse("Invalid NT Sig");

  auto sections = pe->NumberOfSections();
  auto optionalSize = pe->SizeOfOptionalHeader();
  if (!sections || !optionalSize || *sections == 0) return Refuse("Error reading file");
  // Only the two fields needed are read, so a table cut short behind them still gives its end.
  const uint64_t last =
      PeHeaders::SectionEntryOffset(pe->SectionTableOffset(*optionalSize), *sections - 1u);
  auto rawSize = reader.U32le(last + kSecSizeOfRawData);
  auto rawPointer = reader.U32le(last + kSecPointerToRawData);
  if (!rawSize || !rawPointer) return Refuse("Error reading file");
  // A section end at or beyond 2 GiB cannot be a position of the format; it is refused rather
  // than folded back into range by clearing bit 31.
  uint64_t end = uint64_t{*rawPointer} + *rawSize;
  if (end >= static_cast<uint64_t>(kPositionLimit)) return Refuse("Error reading file");
  return static_cast<int32_t>(end);
}

uint32_t GetImageTrailerSize(platform::File* file, uint32_t fileSize) {
  if (file == nullptr || !file->IsOpen()) return 0;
  fileSize = MappedLength(file, fileSize);
  if (fileSize == 0) return 0;
  int64_t actual = file->Size();
  if (actual < 0) return 0;
  // Reads are bounded by the file as it is, whatever length the caller claims.
  support::ByteReader reader(*file, static_cast<uint64_t>(actual));

  PeFault fault;
  auto pe = PeHeaders::Find(reader, &fault);
  if (!pe || pe->lfanew() >= fileSize) return 0;
  const uint64_t nt = pe->lfanew();
  auto sections = pe->NumberOfSections();
  // 248 bytes: the signature, the file header and a PE32 optional header. Computed in 64 bits
  // so that a huge e_lfanew cannot wrap the sum below fileSize.
  if (!sections || nt + kSectionHeaderSize * *sections + 248 > fileSize) return 0;

  auto machine = pe->Machine();
  if (!machine) return 0;
  // The certificate entry's size field, at the PE32 or the PE32+ place.
  if (*machine != kMachineI386 && *machine != kMachineAmd64) return 0;
  const uint64_t certificateSizeAt = pe->OptionalHeaderOffset() +
                                     DataDirectoryOffset(*machine == kMachineAmd64) +
                                     8 * kCertificateDirectory + 4;
  auto certificateSize = reader.U32le(certificateSizeAt);
  if (!certificateSize || *certificateSize <= kCertificateThreshold) return 0;
  auto imageSize = reader.U32le(pe->OptionalHeaderOffset() + kOptSizeOfImage);
  if (!imageSize) return 0;
  return *imageSize < fileSize ? fileSize - *imageSize : 0;
}

bool CollectHeaderSkipRanges(platform::File* file, std::vector<ByteRange>* ranges) {
  if (file == nullptr || !file->IsOpen() || ranges == nullptr) return false;
  int64_t size = file->Size();
  if (size <= 0 || size >= int64_t{1} << 31) return false;
  support::ByteReader reader(*file, static_cast<uint64_t>(size));

  PeFault fault;
  auto pe = PeHeaders::Find(reader, &fault);
  if (!pe || pe->lfanew() >= 312) return false;
  auto sections = pe->NumberOfSections();
  if (!sections || *sections > 15 || *sections == 0) return false;
  const uint32_t lfanew = pe->lfanew();

  auto machine = pe->Machine();
  if (!machine) return false;
  uint16_t standardOptionalSize = 0;
  uint16_t optionalMagic = 0;
  const int64_t n = *sections;
  if (*machine == kMachineI386) {
    standardOptionalSize = kPe32OptionalHeaderSize;
    optionalMagic = kPe32Magic;
  } else if (*machine == kMachineAmd64) {
    standardOptionalSize = kPe32PlusOptionalHeaderSize;
    optionalMagic = kPe32PlusMagic;
  } else {
    return false;
  }
  const int64_t opt = static_cast<int64_t>(pe->OptionalHeaderOffset());
  const int64_t certificateEntry =
      opt + static_cast<int64_t>(DataDirectoryOffset(optionalMagic == kPe32PlusMagic)) +
      8 * kCertificateDirectory;
  const int64_t lastHeader = opt + standardOptionalSize + 40 * (n - 1);

  // The ranges sit at the places a standard optional header gives them, while the loader finds
  // the section table (and the certificate directory) through SizeOfOptionalHeader and the
  // optional header's magic. Any other size would move the table under the ranges: a shorter
  // header puts the first section header's flags where the certificate entry is skipped, so
  // they could be changed without breaking the signature. Only the standard layout is taken.
  auto optionalSize = pe->SizeOfOptionalHeader();
  auto headerMagic = pe->OptionalMagic();
  if (!optionalSize || *optionalSize != standardOptionalSize) return false;
  if (!headerMagic || *headerMagic != optionalMagic) return false;
  const uint64_t table = pe->SectionTableOffset(*optionalSize);
  auto firstRaw = reader.U32le(table + kSecPointerToRawData);
  uint8_t name[8];
  if (!firstRaw || !reader.Read(PeHeaders::SectionEntryOffset(table, n - 1), name, sizeof name)) {
    return false;
  }
  // Every structure the ranges name must lie in the file: the header fields, the certificate
  // entry and the section header slot at the standard place.
  if (!reader.Has(static_cast<uint64_t>(certificateEntry), 8) ||
      !reader.Has(uint64_t{lfanew}, 92) ||
      !reader.Has(static_cast<uint64_t>(lastHeader), kSectionHeaderSize)) {
    return false;
  }
  const bool isBundleSection = std::memcmp(name, kSectionName, 8) == 0;

  const int64_t first = *firstRaw;
  const int64_t gap = first - lastHeader;
  const int64_t tailOffset = isBundleSection ? lastHeader : lastHeader + 40;
  const int64_t tailLength = isBundleSection ? gap : gap - 40;
  // A first section whose raw data start inside the headers (or past the end of the file)
  // would give a negative or outside range, which the signature pass cannot skip safely.
  if (tailLength < 0 || first > size) return false;

  ranges->push_back({static_cast<int32_t>(lfanew + kNtNumberOfSections), 2});
  ranges->push_back({static_cast<int32_t>(opt + kOptSizeOfImage), 4});
  ranges->push_back({static_cast<int32_t>(opt + kOptCheckSum), 4});
  ranges->push_back({static_cast<int32_t>(certificateEntry), 8});
  ranges->push_back({static_cast<int32_t>(tailOffset), static_cast<int32_t>(tailLength)});
  return true;
}

}  // namespace container
