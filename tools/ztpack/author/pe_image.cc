#include "author/pe_image.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "container/attachment_format.h"
#include "platform/platform.h"
#include "support/byte_reader.h"
#include "support/text.h"

namespace ztpack {
namespace {

using ull = unsigned long long;

using container::kSectionHeaderSize;
constexpr uint32_t kBundleCharacteristics = 0x40000040;  // initialized data, readable
constexpr uint64_t kLimit = static_cast<uint64_t>(container::kPositionLimit);
constexpr size_t kResourceDirectory = 2;  // the data directory's resource entry

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

platform::File OpenForReading(const std::string& path) {
  return platform::File::Open(support::Utf8ToWide(path, true), platform::OpenMode::kRead);
}

// The one's complement checksum over dwords (a trailing partial dword padded with zeros), with
// the CheckSum field counted as zero, folded to 16 bits, plus the length.
class ChecksumAccumulator {
 public:
  // `data` starts at a multiple of 4 (the callers feed whole chunks from offset 0) and has the
  // CheckSum field already zeroed.
  void Update(const uint8_t* data, size_t length) {
    size_t i = 0;
    for (; i + 4 <= length; i += 4) sum_ += support::LoadU32le(data + i);
    uint8_t tail[4] = {};
    std::memcpy(tail, data + i, length - i);
    sum_ += support::LoadU32le(tail);
    length_ += length;
  }
  uint32_t Finish() const {
    uint64_t sum = sum_;
    while (sum >> 32) sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>((sum & 0xFFFF) + length_);
  }

 private:
  uint64_t sum_ = 0;  // below 2^30 dwords of less than 2^32 each: no overflow under 4 GiB
  uint64_t length_ = 0;
};

template <typename ReadAt>
support::Result<uint32_t> Checksum(uint64_t size, uint64_t checkSumOffset, ReadAt&& readAt,
                                   const std::string& what) {
  ChecksumAccumulator sum;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[container::kFileChunkSize]);
  for (uint64_t at = 0; at < size;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size - at, container::kFileChunkSize));
    int64_t got = readAt(at, buffer.get(), want);
    if (got != static_cast<int64_t>(want)) {
      return support::Errorf("%s: checksum: reading 0x%zx bytes at 0x%llx failed", what.c_str(),
                             want, static_cast<ull>(at));
    }
    for (uint64_t k = checkSumOffset; k < checkSumOffset + 4; ++k) {
      if (k >= at && k < at + want) buffer[k - at] = 0;
    }
    sum.Update(buffer.get(), want);
    at += want;
  }
  return sum.Finish();
}

// The header fields the section is planned with: the standard optional header, alignments that
// are powers of two, and no certificate table yet.
support::Status CheckPlannableHeaders(const PeImage& image, const char* p) {
  // The installer's header-tolerant signature check finds header fields at the places of the
  // standard optional header; with another size the section table would move under them.
  const uint16_t standardSize =
      image.is64() ? container::kPe32PlusOptionalHeaderSize : container::kPe32OptionalHeaderSize;
  if (image.sizeOfOptionalHeader != standardSize) {
    return support::Errorf(
        "%s: optional header: SizeOfOptionalHeader is %u, but the installer takes only the "
        "standard %u of a %s image (its header checks rely on the standard layout); relink the "
        "program with a standard optional header",
        p, image.sizeOfOptionalHeader, standardSize, image.is64() ? "PE32+" : "PE32");
  }
  if (!IsPowerOfTwo(image.sectionAlignment) || !IsPowerOfTwo(image.fileAlignment)) {
    return support::Errorf(
        "%s: optional header: SectionAlignment 0x%x and FileAlignment 0x%x must be powers of two",
        p, image.sectionAlignment, image.fileAlignment);
  }
  if (auto certificate = image.certificateTable();
      certificate && (certificate->address != 0 || certificate->size != 0)) {
    return support::Errorf(
        "%s: certificate table: %u bytes at 0x%x: the file is signed; write the section before "
        "signing",
        p, certificate->size, certificate->address);
  }
  return {};
}

// Raw data and virtual extent of the sections that stay.
struct KeptExtent {
  uint64_t rawEnd = 0;
  uint64_t virtualEnd = 0;
  uint64_t firstRaw = UINT64_MAX;  // the first section's raw data; UINT64_MAX when none has any
};

support::Result<KeptExtent> MeasureKeptSections(const PeImage& image, size_t kept, const char* p) {
  KeptExtent extent;
  extent.rawEnd = image.sizeOfHeaders;
  extent.virtualEnd = AlignUp(image.sizeOfHeaders, image.sectionAlignment);
  for (size_t i = 0; i < kept; ++i) {
    const PeSection& s = image.sections[i];
    if (s.sizeOfRawData != 0) {
      extent.rawEnd =
          std::max<uint64_t>(extent.rawEnd, uint64_t{s.pointerToRawData} + s.sizeOfRawData);
      extent.firstRaw = std::min<uint64_t>(extent.firstRaw, s.pointerToRawData);
    }
    uint64_t end = std::max(s.virtualSize, s.sizeOfRawData);
    extent.virtualEnd = std::max(extent.virtualEnd,
                                 AlignUp(uint64_t{s.virtualAddress} + end, image.sectionAlignment));
  }
  if (extent.rawEnd > image.fileSize) {
    return support::Errorf(
        "%s: section table: raw data end at 0x%llx, past the end of the file (0x%llx)", p,
        static_cast<ull>(extent.rawEnd), static_cast<ull>(image.fileSize));
  }
  return extent;
}

// The end of the input's bytes that are kept: the sections' data, and a COFF symbol table
// directly behind them, which stays there (the new section goes behind it).
support::Result<uint64_t> KeptEnd(const PeImage& image, uint64_t rawEnd, const char* p) {
  if (image.pointerToSymbolTable == 0 || image.pointerToSymbolTable < rawEnd) return rawEnd;
  if (image.pointerToSymbolTable != rawEnd || image.symbolTableEnd == 0) {
    return support::Errorf(
        "%s: file header: the symbol table at 0x%x is not a whole symbol table directly behind "
        "the sections' data (which end at 0x%llx); strip the file first",
        p, image.pointerToSymbolTable, static_cast<ull>(rawEnd));
  }
  return uint64_t{image.symbolTableEnd};
}

// Anything else behind what stays (beyond a replaced .ZTBNDL, whose own data are dropped) is an
// overlay the new section would bury.
support::Status CheckNoOverlay(const PeImage& image, bool replaces, uint64_t keepEnd,
                               const char* p) {
  uint64_t dataEnd = keepEnd;
  if (replaces) {
    const PeSection& old = image.sections.back();
    uint64_t oldEnd = uint64_t{old.pointerToRawData} + old.sizeOfRawData;
    if (old.sizeOfRawData != 0 && old.pointerToRawData < keepEnd) {
      return support::Errorf(
          "%s: section table: the %s section at 0x%x is not behind the other sections' data (which "
          "end at 0x%llx)",
          p, container::kSectionName, old.pointerToRawData, static_cast<ull>(keepEnd));
    }
    if (oldEnd > image.fileSize) {
      return support::Errorf(
          "%s: section table: the %s section ends at 0x%llx, past the end of the file (0x%llx)", p,
          container::kSectionName, static_cast<ull>(oldEnd), static_cast<ull>(image.fileSize));
    }
    dataEnd = std::max(dataEnd, oldEnd);
  }
  if (image.fileSize > dataEnd) {
    return support::Errorf(
        "%s: overlay: 0x%llx bytes follow the last section's data at 0x%llx (symbol table, debug "
        "data or appended payload); strip or remove them first",
        p, static_cast<ull>(image.fileSize - dataEnd), static_cast<ull>(dataEnd));
  }
  return {};
}

// A new section header at `headerOffset` must fit the loader's section limit and the headers'
// room in front of the first section's data (`firstRaw`), and no data directory may lie there.
support::Status CheckRoomForHeader(const PeImage& image, uint64_t headerOffset, uint64_t firstRaw,
                                   const char* p) {
  const size_t n = image.sections.size();
  if (n + 1 > kMaxSections) {
    return support::Errorf("%s: section table: already %zu sections, the loader's limit", p, n);
  }
  const uint64_t slotEnd = headerOffset + kSectionHeaderSize;
  const uint64_t room = std::min<uint64_t>(image.sizeOfHeaders, firstRaw);
  if (slotEnd > room) {
    return support::Errorf(
        "%s: section table: no room for one more section header at 0x%llx..0x%llx (headers end "
        "at 0x%llx)",
        p, static_cast<ull>(headerOffset), static_cast<ull>(slotEnd), static_cast<ull>(room));
  }
  for (size_t d = 0; d < image.directories.size(); ++d) {
    const PeDataDirectory& dir = image.directories[d];
    if (dir.size == 0) continue;
    if (dir.address < slotEnd && uint64_t{dir.address} + dir.size > headerOffset) {
      return support::Errorf(
          "%s: section table: data directory %zu (0x%x, %u bytes) occupies the slack at 0x%llx "
          "where the new section header would go",
          p, d, dir.address, dir.size, static_cast<ull>(headerOffset));
    }
  }
  return {};
}

// The section's place and size: behind both what is kept and the kept sections' virtual extent,
// aligned to both alignments, and ending below the 2 GiB limit.
support::Status PlaceSection(const PeImage& image, uint64_t virtualEnd, uint64_t chainSize,
                             BundleSectionPlan& plan, const char* p) {
  const uint64_t alignment = std::max(image.sectionAlignment, image.fileAlignment);
  const uint64_t start = AlignUp(std::max(plan.keepEnd, virtualEnd), alignment);
  const uint64_t rawSize = AlignUp(chainSize, image.fileAlignment);
  if (start + rawSize >= kLimit) {
    return support::Errorf("%s: %s section: it would end at 0x%llx, beyond the 2 GiB limit", p,
                           container::kSectionName, static_cast<ull>(start + rawSize));
  }
  plan.offset = static_cast<uint32_t>(start);
  plan.rawSize = static_cast<uint32_t>(rawSize);
  plan.padding = static_cast<uint32_t>(rawSize - chainSize);
  return {};
}

// Room for the resource tree at the start of the section (its size does not depend on where it
// goes), with at least 32 zero bytes behind it so that the chain's backward walk ends on them;
// 0 without one.
support::Result<uint64_t> ResourceRoom(const PeImage& image, const ResourceMaker& resources,
                                       const std::string& input) {
  if (!resources) return uint64_t{0};
  if (image.directories.size() <= kResourceDirectory) {
    return support::Errorf("%s: optional header: no resource entry in the data directory",
                           input.c_str());
  }
  auto probe = resources(0);
  if (!probe) return probe.takeError();
  return AlignUp(probe->size(), 16) + 32;
}

// The header slot read before anything is written: a new slot must hold zeros only.
support::Status CheckSlotEmpty(const std::string& input, const PeImage& image,
                               uint64_t headerOffset) {
  platform::File file = OpenForReading(input);
  support::ByteReader reader(file, image.fileSize);
  uint8_t slot[kSectionHeaderSize];
  if (!reader.Read(headerOffset, slot, sizeof slot)) {
    return support::Errorf("%s: section table: cannot read the slack at 0x%llx", input.c_str(),
                           static_cast<ull>(headerOffset));
  }
  for (uint8_t b : slot) {
    if (b != 0) {
      return support::Errorf("%s: section table: the slack at 0x%llx behind the table is not empty",
                             input.c_str(), static_cast<ull>(headerOffset));
    }
  }
  return {};
}

// The input's kept bytes, with the patches written over them.
support::Status CopyKeptBytes(const std::string& input, uint64_t keepEnd,
                              const std::vector<StubPatch>& patches, OutputFile& o) {
  support::Status status = CopyFileRange(input, 0, keepEnd, o);
  if (!status) return status;
  for (const StubPatch& patch : patches) {
    if (patch.offset > keepEnd || patch.bytes.size() > keepEnd - patch.offset) {
      return support::Errorf("%s: 0x%zx bytes at 0x%llx lie outside the stub's kept 0x%llx bytes",
                             input.c_str(), patch.bytes.size(), static_cast<ull>(patch.offset),
                             static_cast<ull>(keepEnd));
    }
    if (!(status = o.WriteAt(patch.offset, patch.bytes.data(), patch.bytes.size()))) {
      return status;
    }
  }
  return status;
}

// The section's data behind the kept bytes: zeros up to its start, the resource tree and the
// zeros of its room, the padding, then the chain, which ends where the section ends.
support::Status WriteSectionData(OutputFile& o, const BundleSectionPlan& plan,
                                 const std::string& tree, uint64_t resourceRoom,
                                 const std::vector<AttachmentInput>& attachments) {
  support::Status status = o.WriteZeros(uint64_t{plan.offset} - plan.keepEnd);
  if (!status) return status;
  if (!(status = o.Write(tree.data(), tree.size()))) return status;
  status = o.WriteZeros(resourceRoom - tree.size() + plan.padding);
  if (!status) return status;
  auto written = WriteAttachments(o, attachments);
  if (!written) return written.takeError();
  return status;
}

// The headers for the new section: its section header, NumberOfSections and SizeOfImage, and
// the data directory's resource entry when there is a resource tree (`hasTree`).
support::Status PatchHeaders(OutputFile& o, const PeImage& image, const BundleSectionPlan& plan,
                             bool hasTree, size_t treeSize) {
  uint8_t header[kSectionHeaderSize] = {};
  std::memcpy(header, container::kSectionName, sizeof container::kSectionName);
  support::StoreU32le(header + 8, plan.rawSize);   // VirtualSize
  support::StoreU32le(header + 12, plan.offset);   // VirtualAddress
  support::StoreU32le(header + 16, plan.rawSize);  // SizeOfRawData
  support::StoreU32le(header + 20, plan.offset);   // PointerToRawData
  support::StoreU32le(header + 36, kBundleCharacteristics);
  uint8_t field[4];
  support::StoreU16le(field, plan.numberOfSections);
  support::Status status;
  if (!(status = o.WriteAt(plan.headerOffset, header, sizeof header)) ||
      !(status = o.WriteAt(image.numberOfSectionsOffset(), field, 2))) {
    return status;
  }
  support::StoreU32le(field, plan.offset + plan.rawSize);
  if (!(status = o.WriteAt(image.sizeOfImageOffset(), field, 4))) return status;
  if (hasTree) {
    uint8_t entry[8];
    support::StoreU32le(entry, plan.offset);
    support::StoreU32le(entry + 4, static_cast<uint32_t>(treeSize));
    const uint64_t at = image.dataDirectoryOffset() + 8 * kResourceDirectory;
    if (!(status = o.WriteAt(at, entry, sizeof entry))) return status;
  }
  return status;
}

}  // namespace

support::Result<uint32_t> ComputePeChecksum(const std::string& path, uint64_t checkSumOffset) {
  platform::File file = OpenForReading(path);
  if (!file.IsOpen()) return support::Errorf("%s: cannot open the file", path.c_str());
  int64_t size = file.Size();
  if (size < 0) return support::Errorf("%s: cannot read the file's size", path.c_str());
  return Checksum(
      static_cast<uint64_t>(size), checkSumOffset,
      [&](uint64_t at, uint8_t* out, size_t n) { return file.ReadAt(at, out, n); }, path);
}

support::Result<uint32_t> ComputePeChecksum(OutputFile& file, uint64_t checkSumOffset) {
  return Checksum(
      file.size(), checkSumOffset,
      [&](uint64_t at, uint8_t* out, size_t n) -> int64_t {
        auto got = file.ReadAt(at, out, n);
        return got ? static_cast<int64_t>(*got) : -1;
      },
      file.target());
}

support::Result<BundleSectionPlan> PlanBundleSection(const PeImage& image, uint64_t chainSize,
                                                     const std::string& what) {
  const char* p = what.c_str();
  support::Status status = CheckPlannableHeaders(image, p);
  if (!status) return status.takeError();

  BundleSectionPlan plan;
  const size_t n = image.sections.size();
  plan.replaces = n > 0 && image.sections.back().name == container::kSectionName;
  const size_t kept = plan.replaces ? n - 1 : n;
  auto extent = MeasureKeptSections(image, kept, p);
  if (!extent) return extent.takeError();
  auto keepEnd = KeptEnd(image, extent->rawEnd, p);
  if (!keepEnd) return keepEnd.takeError();
  if (!(status = CheckNoOverlay(image, plan.replaces, *keepEnd, p))) return status.takeError();

  plan.keepEnd = *keepEnd;
  plan.numberOfSections = static_cast<uint16_t>(kept + 1);
  plan.headerOffset = image.sectionTableOffset() + kSectionHeaderSize * kept;
  if (!plan.replaces) {
    status = CheckRoomForHeader(image, plan.headerOffset, extent->firstRaw, p);
    if (!status) return status.takeError();
  }
  if (!(status = PlaceSection(image, extent->virtualEnd, chainSize, plan, p))) {
    return status.takeError();
  }
  return plan;
}

support::Status WriteBundleSection(const std::string& input, const std::string& output,
                                   const std::vector<AttachmentInput>& attachments) {
  auto out = OutputFile::Create(output);
  if (!out) return out.takeError();
  support::Status status = WriteBundleSection(input, **out, attachments);
  if (!status) return status;
  return (*out)->Commit();
}

support::Status WriteBundleSection(const std::string& input, OutputFile& o,
                                   const std::vector<AttachmentInput>& attachments,
                                   const std::vector<StubPatch>& patches,
                                   const ResourceMaker& resources) {
  if (o.size() != 0) return support::Errorf("%s: output not empty", o.target().c_str());
  auto image = ReadPeImage(input);
  if (!image) return image.takeError();
  auto chainSize = ChainSize(attachments);
  if (!chainSize) return chainSize.takeError();
  auto resourceRoom = ResourceRoom(*image, resources, input);
  if (!resourceRoom) return resourceRoom.takeError();
  auto plan = PlanBundleSection(*image, *resourceRoom + *chainSize, input);
  if (!plan) return plan.takeError();
  std::string tree;
  if (resources) {
    auto made = resources(plan->offset);
    if (!made) return made.takeError();
    tree = std::move(*made);
  }
  support::Status status;
  if (!plan->replaces && !(status = CheckSlotEmpty(input, *image, plan->headerOffset))) {
    return status;
  }

  if (!(status = CopyKeptBytes(input, plan->keepEnd, patches, o)) ||
      !(status = WriteSectionData(o, *plan, tree, *resourceRoom, attachments)) ||
      !(status = PatchHeaders(o, *image, *plan, static_cast<bool>(resources), tree.size()))) {
    return status;
  }
  auto checksum = ComputePeChecksum(o, image->checkSumOffset());
  if (!checksum) return checksum.takeError();
  uint8_t field[4];
  support::StoreU32le(field, *checksum);
  return o.WriteAt(image->checkSumOffset(), field, 4);
}

}  // namespace ztpack
