// Small PE32 / PE32+ files made in memory for the PE reader and writer tests. The layout is
// the usual linker output: DOS header, NT headers at e_lfanew, a standard-size optional header,
// the section table, then each section's raw data at its PointerToRawData.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "verify/key_place.h"

namespace testutil {

struct FixtureSection {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t pointerToRawData = 0;
  uint32_t sizeOfRawData = 0;
};

struct PeFixture {
  bool pe64 = false;
  uint32_t lfanew = 0x80;
  uint16_t machine = 0;               // 0: 0x14C for PE32, 0x8664 for PE32+
  uint16_t sizeOfOptionalHeader = 0;  // 0: the standard 224 / 240
  uint32_t sectionAlignment = 0x1000;
  uint32_t fileAlignment = 0x200;
  uint32_t sizeOfHeaders = 0x400;
  uint32_t sizeOfImage = 0;  // 0: end of the last section, aligned
  uint32_t certificateOffset = 0;
  uint32_t certificateSize = 0;
  std::vector<FixtureSection> sections = {
      {".text", 0x1000, 0x180, 0x400, 0x200},
      {".data", 0x2000, 0x40, 0x600, 0x200},
  };
  uint64_t fileSize = 0;  // 0: end of the last section's raw data

  static void Put16(std::string& b, uint64_t at, uint16_t v) {
    b[at] = static_cast<char>(v);
    b[at + 1] = static_cast<char>(v >> 8);
  }
  static void Put32(std::string& b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
  }

  uint16_t OptionalSize() const {
    return sizeOfOptionalHeader != 0 ? sizeOfOptionalHeader : (pe64 ? 240 : 224);
  }
  uint64_t TableOffset() const { return uint64_t{lfanew} + 24 + OptionalSize(); }

  std::string Build() const {
    uint64_t end = sizeOfHeaders;
    uint32_t imageEnd = sizeOfHeaders;
    for (const FixtureSection& s : sections) {
      end = std::max<uint64_t>(end, uint64_t{s.pointerToRawData} + s.sizeOfRawData);
      uint32_t v = s.virtualAddress + std::max(s.virtualSize, s.sizeOfRawData);
      imageEnd =
          std::max(imageEnd, (v + sectionAlignment - 1) / sectionAlignment * sectionAlignment);
    }
    uint64_t size = fileSize != 0 ? fileSize : end;
    uint64_t headerEnd = TableOffset() + 40 * sections.size();
    std::string b(std::max<uint64_t>(size, headerEnd), '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, lfanew);
    b.replace(lfanew, 4, std::string("PE\0\0", 4));
    Put16(b, lfanew + 4, machine != 0 ? machine : (pe64 ? 0x8664 : 0x14C));
    Put16(b, lfanew + 6, static_cast<uint16_t>(sections.size()));
    Put16(b, lfanew + 20, OptionalSize());
    Put16(b, lfanew + 22, 0x0102);
    const uint64_t opt = uint64_t{lfanew} + 24;
    Put16(b, opt, pe64 ? 0x20B : 0x10B);
    Put32(b, opt + 16, sections.empty() ? 0 : sections[0].virtualAddress);  // entry point
    Put32(b, opt + 32, sectionAlignment);
    Put32(b, opt + 36, fileAlignment);
    Put16(b, opt + 40, 4);  // major OS version
    Put16(b, opt + 48, 4);  // major subsystem version
    Put32(b, opt + 56, sizeOfImage != 0 ? sizeOfImage : imageEnd);
    Put32(b, opt + 60, sizeOfHeaders);
    Put16(b, opt + 68, 3);  // console subsystem
    const uint64_t dirs = opt + (pe64 ? 112 : 96);
    Put32(b, dirs - 4, 16);
    Put32(b, dirs + 8 * 4, certificateOffset);
    Put32(b, dirs + 8 * 4 + 4, certificateSize);
    for (size_t i = 0; i < sections.size(); ++i) {
      const FixtureSection& s = sections[i];
      const uint64_t h = TableOffset() + 40 * i;
      std::memcpy(&b[h], s.name.data(), std::min<size_t>(8, s.name.size()));
      Put32(b, h + 8, s.virtualSize);
      Put32(b, h + 12, s.virtualAddress);
      Put32(b, h + 16, s.sizeOfRawData);
      Put32(b, h + 20, s.pointerToRawData);
      Put32(b, h + 36, 0x40000040);
      for (uint32_t k = 0; k < s.sizeOfRawData; ++k) {
        uint64_t at = uint64_t{s.pointerToRawData} + k;
        if (at < b.size()) b[at] = static_cast<char>(0x11 * (i + 1) + k);
      }
    }
    b.resize(size);
    return b;
  }
};

// A stub as the front end is linked: the fixture's sections and a ".ztkeys" section holding the
// key place, filled with `root` and `setup` (DER; by default the keys the tests are built with,
// those of the native front end) or, given two empty strings, empty.
inline std::string KeyedStub(const std::string& root = verify::PlacedRootKey(),
                             const std::string& setup = verify::PlacedSetupKey(),
                             PeFixture pe = {}) {
  const uint32_t at = pe.sections.back().pointerToRawData + pe.sections.back().sizeOfRawData;
  const uint32_t rva = pe.sections.back().virtualAddress + 0x1000;
  pe.sections.push_back({".ztkeys", rva, 0x400, at, 0x400});
  std::string b = pe.Build();
  const std::string place = verify::EncodeKeyPlace(root, setup).value();
  b.replace(at, place.size(), place);
  return b;
}

}  // namespace testutil
