// The .ZTBNDL section writer on made-up PE files: where it puts the section, and every case in
// which writing it would not be safe.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "author/attachment_writer.h"
#include "author/pe_image.h"
#include "testutil/pe_fixture.h"
#include "testutil/temp_dir.h"

namespace {

using testutil::PeFixture;

struct Written {
  support::Status status;
  std::string output;
  support::Result<ztpack::PeImage> image = support::Error{"not read"};
};

Written Write(const std::string& input, const std::string& chainData = "payload") {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "in.exe", input);
  Written w;
  w.status = ztpack::WriteBundleSection((dir / "in.exe").string(), (dir / "out.exe").string(),
                                        {ztpack::AttachmentInput::FromBytes("TYPE", chainData)});
  if (w.status.ok()) {
    w.output = testutil::ReadFile(dir / "out.exe");
    w.image = ztpack::ReadPeImage((dir / "out.exe").string());
  }
  // Nothing but the input and, on success, the output: no temporary file stays behind.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, w.status.ok() ? 2u : 1u);
  return w;
}

TEST(SectionWriter, Layout) {
  struct Case {
    const char* name;
    PeFixture fixture;
    uint32_t offset;  // PointerToRawData == VirtualAddress
    uint16_t sections;
  };
  PeFixture pe64;
  pe64.pe64 = true;
  PeFixture lowAlignment;  // section alignment = file alignment: VA already equal to offsets
  lowAlignment.sectionAlignment = 0x200;
  lowAlignment.sections = {{".text", 0x400, 0x200, 0x400, 0x200},
                           {".data", 0x600, 0x80, 0x600, 0x200}};
  PeFixture bigVirtual;  // .bss-like last section: far larger in memory than in the file
  bigVirtual.sections.back().virtualSize = 0x5000;
  PeFixture replacing;
  replacing.sections.push_back({".ZTBNDL", 0x3000, 0x200, 0x3000, 0x200});
  PeFixture notLast;  // a .ZTBNDL that is not the last section is left alone
  notLast.sections.insert(notLast.sections.begin() + 1, {".ZTBNDL", 0x1800, 0x100, 0x800, 0x200});
  notLast.sections.back().pointerToRawData = 0xA00;
  notLast.sections.back().virtualAddress = 0x2000;
  const Case cases[] = {
      {"PE32", PeFixture{}, 0x3000, 3},
      {"PE32+", pe64, 0x3000, 3},
      {"low alignment", lowAlignment, 0x800, 3},
      {"virtual extent beyond the raw data", bigVirtual, 0x7000, 3},
      {"an existing .ZTBNDL last section is replaced", replacing, 0x3000, 3},
      {"a .ZTBNDL elsewhere stays", notLast, 0x3000, 4},
  };
  for (const Case& c : cases) {
    Written w = Write(c.fixture.Build());
    ASSERT_TRUE(w.status.ok()) << c.name << ": " << w.status.error();
    ASSERT_TRUE(w.image.ok()) << c.name;
    const ztpack::PeImage& image = *w.image;
    ASSERT_EQ(image.sections.size(), c.sections) << c.name;
    const ztpack::PeSection& last = image.sections.back();
    EXPECT_EQ(last.name, ".ZTBNDL") << c.name;
    EXPECT_EQ(last.pointerToRawData, c.offset) << c.name;
    EXPECT_EQ(last.virtualAddress, c.offset) << c.name;
    EXPECT_EQ(last.sizeOfRawData, 0x200u) << c.name;
    EXPECT_EQ(last.virtualSize, 0x200u) << c.name;
    EXPECT_EQ(image.sizeOfImage, c.offset + 0x200) << c.name;
    EXPECT_EQ(w.output.size(), c.offset + 0x200) << c.name;
    // The chain ends at the section's end; zero padding lies in front of it.
    EXPECT_EQ(w.output.substr(w.output.size() - 4), "ABD2") << c.name;
    EXPECT_EQ(w.output.substr(c.offset, 0x200 - 7 - 28), std::string(0x200 - 7 - 28, '\0'))
        << c.name;
    // Everything in front of the old end is the input, apart from the patched header fields.
    const std::string input = c.fixture.Build();
    for (const ztpack::PeSection& s : image.sections) {
      if (s.name == ".ZTBNDL" && &s == &last) continue;
      EXPECT_EQ(w.output.substr(s.pointerToRawData, s.sizeOfRawData),
                input.substr(s.pointerToRawData, s.sizeOfRawData))
          << c.name << " " << s.name;
    }
  }
}

TEST(SectionWriter, ChecksumIsTheStandardOne) {
  // Sums small enough to do by hand.
  testutil::TempDir dir;
  std::string bytes(12, '\0');
  bytes[0] = 0x01;
  bytes[2] = 0x02;
  bytes[4] = 0xFF;  // inside the CheckSum field at offset 4: not counted
  bytes[8] = 0x03;
  testutil::WriteFile(dir / "f", bytes);
  auto sum = ztpack::ComputePeChecksum((dir / "f").string(), 4);
  ASSERT_TRUE(sum.ok());
  EXPECT_EQ(*sum, 0x0001u + 0x0002u + 0x0003u + 12u);
  // Carries fold back into the low 16 bits.
  std::string carry("\xff\xff\xff\xff\x02\x00", 6);
  testutil::WriteFile(dir / "g", carry);
  sum = ztpack::ComputePeChecksum((dir / "g").string(), 100);
  ASSERT_TRUE(sum.ok());
  EXPECT_EQ(*sum, ((0xFFFFu + 0xFFFFu + 0x0002u) % 0xFFFF) + 6u);
}

TEST(SectionWriter, SymbolTableStaysInFrontOfTheSection) {
  PeFixture pe;
  pe.fileSize = 0x800 + 18 * 2 + 8;
  std::string bytes = pe.Build();
  PeFixture::Put32(bytes, 0x80 + 12, 0x800);  // PointerToSymbolTable
  PeFixture::Put32(bytes, 0x80 + 16, 2);      // NumberOfSymbols
  PeFixture::Put32(bytes, 0x800 + 36, 8);     // string table size
  bytes.replace(0x800 + 40, 3, "abc");
  Written w = Write(bytes);
  ASSERT_TRUE(w.status.ok()) << w.status.error();
  EXPECT_EQ(w.output.substr(0, bytes.size()).substr(0x800), bytes.substr(0x800));
  EXPECT_EQ(w.image->pointerToSymbolTable, 0x800u);
  EXPECT_EQ(w.image->sections.back().pointerToRawData, 0x3000u);
}

TEST(SectionWriter, Refusals) {
  struct Case {
    const char* name;
    std::function<std::string()> make;
    std::string error;  // a part of the message
  };
  const Case cases[] = {
      {"signed",
       [] {
         PeFixture pe;
         pe.certificateOffset = 0x800;
         pe.certificateSize = 0x100;
         pe.fileSize = 0x900;
         return pe.Build();
       },
       "certificate table: 256 bytes at 0x800"},
      {"overlay",
       [] {
         PeFixture pe;
         pe.fileSize = 0x810;
         return pe.Build();
       },
       "overlay: 0x10 bytes follow the last section's data at 0x800"},
      {"truncated section data",
       [] {
         PeFixture pe;
         pe.fileSize = 0x7FF;
         return pe.Build();
       },
       "raw data end at 0x800, past the end of the file (0x7ff)"},
      {"no slack for one more header",
       [] {
         PeFixture pe;
         pe.lfanew = 0xA0;  // the table ends at 0x1E8: one more header would end at 0x210
         pe.sizeOfHeaders = 0x200;
         for (auto& s : pe.sections) s.pointerToRawData -= 0x200;
         return pe.Build();
       },
       "section table: no room for one more section header at 0x1e8..0x210 (headers end at 0x200)"},
      {"slack in use",
       [] {
         std::string b = PeFixture{}.Build();
         b[0x1C8 + 5] = 1;
         return b;
       },
       "slack at 0x1c8 behind the table is not empty"},
      {"a directory in the slack",
       [] {
         std::string b = PeFixture{}.Build();
         PeFixture::Put32(b, 0x80 + 24 + 96 + 8 * 11, 0x1D0);  // bound import table
         PeFixture::Put32(b, 0x80 + 24 + 96 + 8 * 11 + 4, 0x20);
         return b;
       },
       "data directory 11 (0x1d0, 32 bytes) occupies the slack at 0x1c8"},
      {"symbol table not directly behind the data",
       [] {
         PeFixture pe;
         pe.fileSize = 0x900;
         std::string b = pe.Build();
         PeFixture::Put32(b, 0x80 + 12, 0x810);
         PeFixture::Put32(b, 0x80 + 16, 1);
         return b;
       },
       "symbol table at 0x810 is not a whole symbol table directly behind"},
      {"odd alignment",
       [] {
         PeFixture pe;
         pe.fileAlignment = 0x300;
         return pe.Build();
       },
       "FileAlignment 0x300 must be powers of two"},
      {"not MZ", [] { return std::string("PE\0\0", 4); }, "DOS header: no \"MZ\" at offset 0"},
      {"e_lfanew past the end",
       [] {
         std::string b = PeFixture{}.Build();
         PeFixture::Put32(b, 0x3C, 0xFFFFFFF0);
         return b;
       },
       "NT headers: e_lfanew 0xfffffff0 lies past the end of the file (0x800)"},
      {"section table past the end", [] { return PeFixture{}.Build().substr(0, 0x1B0); },
       "section table: entry 1 at 0x1a0 lies past the end of the file (0x1b0)"},
      {"optional header magic",
       [] {
         std::string b = PeFixture{}.Build();
         PeFixture::Put16(b, 0x98, 0x107);
         return b;
       },
       "magic 0x107 at 0x98 is neither PE32"},
      {"SizeOfOptionalHeader too small",
       [] {
         std::string b = PeFixture{}.Build();
         PeFixture::Put16(b, 0x94, 95);
         return b;
       },
       "SizeOfOptionalHeader 95 is smaller than the 96 bytes"},
      {"SizeOfOptionalHeader not the standard size",
       [] {
         PeFixture pe;
         pe.sizeOfOptionalHeader = 232;
         return pe.Build();
       },
       "SizeOfOptionalHeader is 232, but the installer takes only the standard 224 of a PE32 "
       "image"},
  };
  for (const Case& c : cases) {
    Written w = Write(c.make());
    ASSERT_FALSE(w.status.ok()) << c.name;
    EXPECT_NE(w.status.error().find(c.error), std::string::npos)
        << c.name << ": " << w.status.error();
  }
}

TEST(SectionWriter, SectionEndAtTwoGigabytesIsRefused) {
  PeFixture pe;
  testutil::TempDir dir;
  testutil::WriteFile(dir / "a.exe", pe.Build());
  auto parsed = ztpack::ReadPeImage((dir / "a.exe").string());
  ASSERT_TRUE(parsed.ok());
  auto plan = ztpack::PlanBundleSection(*parsed, 0x80000000ull - 0x3000, "a.exe");
  ASSERT_FALSE(plan.ok());
  EXPECT_NE(plan.error().find("beyond the 2 GiB limit"), std::string::npos) << plan.error();
  plan = ztpack::PlanBundleSection(*parsed, 0x80000000ull - 0x3000 - 0x200, "a.exe");
  EXPECT_TRUE(plan.ok()) << plan.error();
}

// A failed write to the input's own name leaves the input as it was.
TEST(SectionWriter, FailureInPlaceKeepsTheInput) {
  testutil::TempDir dir;
  PeFixture pe;
  pe.fileSize = 0x900;  // an overlay: refused
  const std::string input = pe.Build();
  testutil::WriteFile(dir / "a.exe", input);
  auto status = ztpack::WriteBundleSection((dir / "a.exe").string(), (dir / "a.exe").string(),
                                           {ztpack::AttachmentInput::FromBytes("TYPE", "x")});
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(testutil::ReadFile(dir / "a.exe"), input);
  status = ztpack::WriteBundleSection(
      (dir / "a.exe").string(), (dir / "b.exe").string(),
      {ztpack::AttachmentInput::FromFile("TYPE", (dir / "none").string())});
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "b.exe"));
}

}  // namespace
