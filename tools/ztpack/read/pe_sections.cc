#include "read/pe_sections.h"

#include <algorithm>

#include "container/pe_locator.h"
#include "platform/platform.h"
#include "support/byte_reader.h"
#include "support/text.h"

namespace ztpack {

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
  auto magic = r.U16le(0);
  if (!magic || *magic != container::kDosMagic)
    return support::Errorf("%s: not a PE file (no \"MZ\")", p);
  auto lfanew = r.U32le(container::kLfanewOffset);
  auto signature = lfanew ? r.U32le(*lfanew) : std::nullopt;
  if (!signature || *signature != container::kNtSignature) {
    return support::Errorf("%s: not a PE file (no \"PE\\0\\0\" at e_lfanew)", p);
  }
  const uint64_t nt = *lfanew;
  auto count = r.U16le(nt + 6);
  auto optionalSize = r.U16le(nt + 20);
  auto optMagic = r.U16le(nt + 24);
  if (!count || !optionalSize || !optMagic) {
    return support::Errorf("%s: file header at 0x%llx runs past the end of the file", p,
                           static_cast<unsigned long long>(nt));
  }
  if (*optMagic != container::kPe32Magic && *optMagic != container::kPe32PlusMagic) {
    return support::Errorf("%s: optional header magic 0x%x is neither PE32 nor PE32+", p,
                           *optMagic);
  }
  view.is64 = *optMagic == container::kPe32PlusMagic;
  const uint64_t opt = nt + 24;
  const uint64_t directoriesAt = view.is64 ? 112 : 96;
  if (*optionalSize < directoriesAt || !r.Has(opt, *optionalSize)) {
    return support::Errorf("%s: optional header of %u bytes at 0x%llx is short or truncated", p,
                           *optionalSize, static_cast<unsigned long long>(opt));
  }
  const uint64_t fit = (*optionalSize - directoriesAt) / 8;
  const uint64_t directories = std::min<uint64_t>({*r.U32le(opt + directoriesAt - 4), fit, 16});
  for (uint64_t i = 0; i < directories; ++i) {
    view.directories.emplace_back(*r.U32le(opt + directoriesAt + 8 * i),
                                  *r.U32le(opt + directoriesAt + 8 * i + 4));
  }
  const uint64_t table = opt + *optionalSize;
  for (uint64_t i = 0; i < *count; ++i) {
    const uint64_t at = table + container::kSectionHeaderSize * i;
    uint8_t raw[container::kSectionHeaderSize];
    if (!r.Read(at, raw, sizeof raw)) {
      return support::Errorf("%s: section table entry %llu at 0x%llx lies past the end of the file",
                             p, static_cast<unsigned long long>(i),
                             static_cast<unsigned long long>(at));
    }
    PeSectionView s;
    size_t nameLength = 0;
    while (nameLength < 8 && raw[nameLength] != 0) ++nameLength;
    s.name.assign(reinterpret_cast<const char*>(raw), nameLength);
    s.virtualSize = support::LoadU32le(raw + 8);
    s.virtualAddress = support::LoadU32le(raw + 12);
    s.sizeOfRawData = support::LoadU32le(raw + 16);
    s.pointerToRawData = support::LoadU32le(raw + 20);
    view.sections.push_back(std::move(s));
  }
  return view;
}

}  // namespace ztpack
