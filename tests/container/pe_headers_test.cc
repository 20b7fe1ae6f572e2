#include "container/pe_headers.h"

#include <gtest/gtest.h>

#include <string>

#include "testutil/pe_fixture.h"

namespace {

using container::PeFault;
using container::PeHeaders;
using testutil::PeFixture;

support::ByteReader Over(const std::string& bytes) {
  return support::ByteReader(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

// Every prefix of a file: the reader never reads past the end, names the structure cut off,
// and gives a section only when its 40 bytes are all there.
TEST(PeHeaders, EveryTruncationIsRefusedAtTheStructureItCuts) {
  const PeFixture fixture;
  const std::string whole = fixture.Build();
  const uint64_t table = fixture.TableOffset();
  for (size_t length = 0; length <= table + 2 * container::kSectionHeaderSize; ++length) {
    const std::string cut = whole.substr(0, length);
    PeFault fault;
    auto pe = PeHeaders::Find(Over(cut), &fault);
    PeFault expected = length < 2                    ? PeFault::kShortDosHeader
                       : length < 0x40               ? PeFault::kNoLfanew
                       : length < fixture.lfanew + 4 ? PeFault::kShortNtHeaders
                                                     : PeFault::kNone;
    ASSERT_EQ(fault, expected) << length;
    ASSERT_EQ(pe.has_value(), expected == PeFault::kNone) << length;
    if (!pe) continue;
    EXPECT_EQ(pe->NumberOfSections().has_value(), length >= fixture.lfanew + 8u) << length;
    for (uint64_t i = 0; i < 2; ++i) {
      const bool whole = length >= table + container::kSectionHeaderSize * (i + 1);
      EXPECT_EQ(pe->Section(table, i).has_value(), whole) << length << " entry " << i;
    }
  }
}

TEST(PeHeaders, FieldsAtTheirLimits) {
  struct Case {
    const char* name;
    uint64_t at;  // offset in the file
    uint32_t value;
    PeFault fault;
  };
  const PeFixture fixture;
  const Case cases[] = {
      {"no MZ", 0, 0x4D5A, PeFault::kNoMz},
      {"e_lfanew 0", container::kLfanewOffset, 0, PeFault::kNoPeSignature},
      {"e_lfanew at the last byte", container::kLfanewOffset, 0x7FF, PeFault::kShortNtHeaders},
      {"e_lfanew max", container::kLfanewOffset, 0xFFFFFFFF, PeFault::kShortNtHeaders},
      {"no PE signature", fixture.lfanew, 0x00004551, PeFault::kNoPeSignature},
  };
  for (const Case& c : cases) {
    std::string bytes = fixture.Build();
    if (c.at == 0) {
      PeFixture::Put16(bytes, c.at, static_cast<uint16_t>(c.value));
    } else {
      PeFixture::Put32(bytes, c.at, c.value);
    }
    PeFault fault;
    EXPECT_FALSE(PeHeaders::Find(Over(bytes), &fault)) << c.name;
    EXPECT_EQ(fault, c.fault) << c.name;
  }

  // A section table behind a maximal SizeOfOptionalHeader lies past the end; the data directory
  // count is believed only as far as the header holds entries, and never beyond 16.
  std::string bytes = fixture.Build();
  PeFixture::Put16(bytes, fixture.lfanew + container::kNtSizeOfOptionalHeader, 0xFFFF);
  PeFault fault;
  auto pe = PeHeaders::Find(Over(bytes), &fault);
  ASSERT_TRUE(pe);
  EXPECT_FALSE(pe->Section(pe->SectionTableOffset(0xFFFF), 0));
  const uint64_t count = fixture.lfanew + 24 + container::DataDirectoryOffset(false) - 4;
  for (uint32_t claimed : {0u, 3u, 16u, 0xFFFFFFFFu}) {
    PeFixture::Put32(bytes, count, claimed);
    EXPECT_EQ(pe->DataDirectories(224, false).size(), std::min<uint32_t>(claimed, 16)) << claimed;
    EXPECT_EQ(pe->DataDirectories(96 + 8 * 2, false).size(), std::min<uint32_t>(claimed, 2));
  }
}

}  // namespace
