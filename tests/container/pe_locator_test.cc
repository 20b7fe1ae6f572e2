#include "container/pe_locator.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "testutil/pe_fixture.h"
#include "testutil/temp_dir.h"

namespace container {
bool operator==(const ByteRange& a, const ByteRange& b) {
  return a.offset == b.offset && a.length == b.length;
}
}  // namespace container

namespace {

using testutil::PeFixture;

struct Opened {
  testutil::TempDir dir;
  platform::File file;
  explicit Opened(const std::string& bytes) {
    testutil::WriteFile(dir / "pe.exe", bytes);
    file = platform::File::Open(dir.u16("pe.exe"), platform::OpenMode::kRead);
  }
};

int32_t LastSectionEnd(const std::string& bytes, std::string* printed) {
  Opened opened(bytes);
  ::testing::internal::CaptureStdout();
  int32_t result = container::GetLastSectionEnd(&opened.file);
  *printed = ::testing::internal::GetCapturedStdout();
  return result;
}

// ---------------------------------------------------------------------------------------------
// GetLastSectionEnd

struct LastSectionCase {
  const char* name;
  std::function<std::string()> make;
  int32_t expected;
  const char* printed;
};

std::string Patched(PeFixture pe, const std::function<void(std::string&)>& patch) {
  std::string b = pe.Build();
  patch(b);
  return b;
}

TEST(GetLastSectionEnd, Cases) {
  const LastSectionCase cases[] = {
      {"last section not named .ZTBNDL counts all the same", [] { return PeFixture{}.Build(); },
       0x800, ""},
      {"PE32+",
       [] {
         PeFixture pe;
         pe.pe64 = true;
         return pe.Build();
       },
       0x800, ""},
      {"empty file", [] { return std::string(); }, -1, "Invalid DOS Sig"},
      {"one byte", [] { return std::string("M"); }, -1, "Invalid DOS Sig"},
      {"no MZ", [] { return Patched({}, [](std::string& b) { b[0] = 'Z'; }); }, -1,
       "Invalid DOS Sig"},
      {"bad NT signature", [] { return Patched({}, [](std::string& b) { b[0x81] = 'X'; }); }, -1,
       "Invalid NT Sig"},
      {"e_lfanew past the end",
       [] { return Patched({}, [](std::string& b) { PeFixture::Put32(b, 0x3C, 0x7FFFFFF0); }); },
       -1, "Invalid NT Sig"},
      {"e_lfanew maximum",
       [] { return Patched({}, [](std::string& b) { PeFixture::Put32(b, 0x3C, 0xFFFFFFFF); }); },
       -1, "Invalid NT Sig"},
      {"file ends inside the DOS header", [] { return PeFixture{}.Build().substr(0, 0x3E); }, -1,
       "Invalid NT Sig"},
      {"no sections",
       [] {
         PeFixture pe;
         pe.sections.clear();
         return pe.Build();
       },
       -1, "Error reading file"},
      {"section count beyond the file",
       [] { return Patched({}, [](std::string& b) { PeFixture::Put16(b, 0x86, 0xFFFF); }); }, -1,
       "Error reading file"},
      {"SizeOfOptionalHeader moves the table past the end",
       [] { return Patched({}, [](std::string& b) { PeFixture::Put16(b, 0x94, 0xFFFF); }); }, -1,
       "Error reading file"},
      {"SizeOfOptionalHeader is honoured",
       [] {
         PeFixture pe;
         pe.sizeOfOptionalHeader = 0xF0;
         return pe.Build();
       },
       0x800, ""},
      {"section end just below 2 GiB",
       [] {
         PeFixture pe;
         pe.sections.back().pointerToRawData = 0x7FFFFE00;
         pe.sections.back().sizeOfRawData = 0x1FF;
         pe.fileSize = 0x1000;
         return pe.Build();
       },
       0x7FFFFFFF, ""},
      // The end used to be folded back into range by clearing bit 31: 0x80000100 became 0x100.
      {"section end at 2 GiB is refused, not folded",
       [] {
         PeFixture pe;
         pe.sections.back().pointerToRawData = 0x7FFFFF00;
         pe.sections.back().sizeOfRawData = 0x200;
         pe.fileSize = 0x1000;
         return pe.Build();
       },
       -1, "Error reading file"},
      {"section end beyond 4 GiB is refused, not wrapped",
       [] {
         PeFixture pe;
         pe.sections.back().pointerToRawData = 0xFFFFFF00;
         pe.sections.back().sizeOfRawData = 0x300;
         pe.fileSize = 0x1000;
         return pe.Build();
       },
       -1, "Error reading file"},
  };
  for (const LastSectionCase& c : cases) {
    std::string printed;
    EXPECT_EQ(LastSectionEnd(c.make(), &printed), c.expected) << c.name;
    EXPECT_EQ(printed, c.printed) << c.name;
  }
}

TEST(GetLastSectionEnd, MissingStreamGivesMinusOneSilently) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(container::GetLastSectionEnd(nullptr), -1);
  platform::File closed;
  EXPECT_EQ(container::GetLastSectionEnd(&closed), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(GetLastSectionEnd, LeavesTheStreamAtItsEnd) {
  Opened opened(PeFixture{}.Build());
  ASSERT_EQ(container::GetLastSectionEnd(&opened.file), 0x800);
  EXPECT_EQ(opened.file.Tell(), 0x800);
}

// Every truncation: until the last section header's PointerToRawData is in the file the result
// is -1, from there on it is the section end (the container reader finds the short file itself).
TEST(GetLastSectionEnd, TruncatedAtEveryLength) {
  const std::string full = PeFixture{}.Build();
  const size_t headerEnd = PeFixture{}.TableOffset() + 40 + 24;
  for (size_t length = 0; length < full.size(); length += (length < headerEnd + 8 ? 1 : 61)) {
    std::string printed;
    int32_t result = LastSectionEnd(full.substr(0, length), &printed);
    EXPECT_EQ(result, length < headerEnd ? -1 : 0x800) << "length " << length;
  }
}

#if defined(__SANITIZE_ADDRESS__)
#define ZT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZT_ASAN 1
#endif
#endif

// The reader used to load the whole file to look at its headers: a 1 GiB installer allocated
// 1 GiB to learn its run mode. Run in a child with an address-space limit far below the file.
TEST(GetLastSectionEnd, HugeFileReadsOnlyTheHeaders) {
#ifdef ZT_ASAN
  GTEST_SKIP() << "address-space limits do not mix with the address sanitizer";
#else
  testutil::TempDir dir;
  PeFixture pe;
  pe.sections.back().sizeOfRawData = 0x40000000;
  std::string headers = pe.Build().substr(0, 0x600);
  testutil::WriteFile(dir / "big.exe", headers);
  std::filesystem::resize_file(dir / "big.exe", 0x600 + 0x40000000ull);  // sparse
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit = {256u << 20, 256u << 20};
    ::setrlimit(RLIMIT_AS, &limit);
    platform::File file = platform::File::Open(dir.u16("big.exe"), platform::OpenMode::kRead);
    ::_exit(container::GetLastSectionEnd(&file) == 0x40000600 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}

TEST(GetLastSectionEnd, FileOfTwoGigabytesIsRefused) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "huge.exe", PeFixture{}.Build());
  std::filesystem::resize_file(dir / "huge.exe", 0x80000000ull);
  platform::File file = platform::File::Open(dir.u16("huge.exe"), platform::OpenMode::kRead);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(container::GetLastSectionEnd(&file), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error reading file");
}

// ---------------------------------------------------------------------------------------------
// GetImageTrailerSize

struct TrailerCase {
  const char* name;
  std::function<PeFixture()> fixture;
  std::function<void(std::string&)> patch;
  uint32_t expected;  // kTrailer: file length - SizeOfImage
};
constexpr uint32_t kTrailer = 0xFFFFFFFF;

PeFixture Signed(uint32_t certificateSize, bool pe64 = false) {
  PeFixture pe;
  pe.pe64 = pe64;
  pe.sizeOfImage = 0x800;  // laid out like the installer: the image ends where the data end
  pe.certificateOffset = 0x800;
  pe.certificateSize = certificateSize;
  pe.fileSize = 0x800 + certificateSize;
  return pe;
}

TEST(GetImageTrailerSize, Cases) {
  auto none = [](std::string&) {};
  const TrailerCase cases[] = {
      {"unsigned", [] { return PeFixture{}; }, none, 0},
      {"certificate table of 256 bytes", [] { return Signed(256); }, none, 0},
      {"certificate table of 257 bytes", [] { return Signed(257); }, none, kTrailer},
      {"PE32+ certificate of 257 bytes", [] { return Signed(257, true); }, none, kTrailer},
      {"PE32+ reads its own entry, not the PE32 one",
       [] {
         PeFixture pe = Signed(257, true);
         return pe;
       },
       [](std::string& b) {
         PeFixture::Put32(b, 0x80 + 172, 0);     // PE32+ size cleared
         PeFixture::Put32(b, 0x80 + 156, 4096);  // stray PE32 place
       },
       0},
      {"other machine",
       [] {
         PeFixture pe = Signed(4096);
         pe.machine = 0x1C0;
         return pe;
       },
       none, 0},
      {"SizeOfImage equal to the length",
       [] {
         PeFixture pe = Signed(4096);
         pe.sizeOfImage = 0x800 + 4096;
         return pe;
       },
       none, 0},
      {"SizeOfImage one below the length",
       [] {
         PeFixture pe = Signed(4096);
         pe.sizeOfImage = 0x800 + 4095;
         return pe;
       },
       none, 1},
      {"no MZ", [] { return Signed(4096); }, [](std::string& b) { b[1] = 'X'; }, 0},
      {"e_lfanew at the length", [] { return Signed(4096); },
       [](std::string& b) { PeFixture::Put32(b, 0x3C, static_cast<uint32_t>(b.size())); }, 0},
      {"section count beyond the length", [] { return Signed(4096); },
       [](std::string& b) { PeFixture::Put16(b, 0x86, 0xFFFF); }, 0},
      {"bad NT signature", [] { return Signed(4096); }, [](std::string& b) { b[0x82] = 1; }, 0},
  };
  for (const TrailerCase& c : cases) {
    std::string bytes = c.fixture().Build();
    c.patch(bytes);
    Opened opened(bytes);
    const uint32_t length = static_cast<uint32_t>(bytes.size());
    const uint32_t imageSize = 0x800 + (c.expected == 1 ? 4095 : 0);
    const uint32_t expected = c.expected == kTrailer ? length - imageSize : c.expected;
    EXPECT_EQ(container::GetImageTrailerSize(&opened.file, length), expected) << c.name;
    // 0 asks the file for its length: the same answer.
    EXPECT_EQ(container::GetImageTrailerSize(&opened.file, 0), expected) << c.name << " (0)";
  }
}

// A caller's length larger than the file must not lead to reads behind its end.
TEST(GetImageTrailerSize, ClaimedLengthBeyondTheFileReadsNothingOutside) {
  std::string bytes = Signed(4096).Build().substr(0, 0x100);  // cut before the certificate entry
  Opened opened(bytes);
  EXPECT_EQ(container::GetImageTrailerSize(&opened.file, 0x10000), 0u);
  EXPECT_EQ(container::GetImageTrailerSize(&opened.file, 0x80000000u), 0u);
  EXPECT_EQ(container::GetImageTrailerSize(nullptr, 0), 0u);
}

TEST(GetImageTrailerSize, TruncatedAtEveryLengthNeverReadsOutside) {
  const std::string full = Signed(300).Build();
  for (size_t length = 0; length <= full.size(); ++length) {
    Opened opened(full.substr(0, length));
    uint32_t result = container::GetImageTrailerSize(&opened.file, 0);
    // Once the headers are whole, whatever lies behind SizeOfImage (0x800) is the trailer.
    const size_t headers = 0x80 + 40 * 2 + 248;
    EXPECT_EQ(result, length >= headers && length > 0x800 ? length - 0x800 : 0u)
        << "length " << length;
  }
}

// ---------------------------------------------------------------------------------------------
// CollectHeaderSkipRanges

PeFixture SixSections(const char* lastName, bool pe64 = false) {
  PeFixture pe;
  pe.pe64 = pe64;
  pe.lfanew = 0x108;
  pe.sections.clear();
  for (int i = 0; i < 6; ++i) {
    pe.sections.push_back({i == 5 ? lastName : ".s" + std::to_string(i),
                           static_cast<uint32_t>(0x1000 * (i + 1)), 0x200,
                           static_cast<uint32_t>(0x400 + 0x200 * i), 0x200});
  }
  return pe;
}

std::vector<container::ByteRange> Ranges(const std::string& bytes, bool* ok) {
  Opened opened(bytes);
  std::vector<container::ByteRange> ranges;
  *ok = container::CollectHeaderSkipRanges(&opened.file, &ranges);
  return ranges;
}

TEST(CollectHeaderSkipRanges, Accepted) {
  struct Case {
    const char* name;
    PeFixture fixture;
    std::vector<container::ByteRange> expected;
  };
  const Case cases[] = {
      {"i386, last section .ZTBNDL",
       SixSections(".ZTBNDL"),
       {{0x10E, 2}, {0x158, 4}, {0x160, 4}, {0x1A0, 8}, {0x2C8, 0x400 - 0x2C8}}},
      {"i386, last section named otherwise",
       SixSections(".rsrc"),
       {{0x10E, 2}, {0x158, 4}, {0x160, 4}, {0x1A0, 8}, {0x2F0, 0x400 - 0x2F0}}},
      {"a name that only starts with .ZTBNDL",
       SixSections(".ZTBNDLX"),
       {{0x10E, 2}, {0x158, 4}, {0x160, 4}, {0x1A0, 8}, {0x2F0, 0x400 - 0x2F0}}},
      {"x64, last section .ZTBNDL",
       SixSections(".ZTBNDL", true),
       {{0x10E, 2}, {0x158, 4}, {0x160, 4}, {0x1B0, 8}, {0x2D8, 0x400 - 0x2D8}}},
  };
  for (const Case& c : cases) {
    bool ok = false;
    EXPECT_EQ(Ranges(c.fixture.Build(), &ok), c.expected) << c.name;
    EXPECT_TRUE(ok) << c.name;
  }
}

TEST(CollectHeaderSkipRanges, Refused) {
  struct Case {
    const char* name;
    std::function<std::string()> make;
  };
  const Case cases[] = {
      {"e_lfanew 312",
       [] {
         PeFixture pe;
         pe.lfanew = 312;
         return pe.Build();
       }},
      {"16 sections",
       [] {
         PeFixture pe;
         pe.sections.resize(16, {".x", 0x1000, 0x10, 0x400, 0x10});
         pe.sizeOfHeaders = 0x800;
         return pe.Build();
       }},
      {"machine ARM",
       [] {
         PeFixture pe;
         pe.machine = 0x1C0;
         return pe.Build();
       }},
      {"no MZ", [] { return Patched({}, [](std::string& b) { b[0] = 0; }); }},
      {"bad NT signature", [] { return Patched({}, [](std::string& b) { b[0x80] = 'X'; }); }},
      // Without a section there is no last entry to read: the reader used to take entry -1.
      {"no sections",
       [] {
         PeFixture pe;
         pe.sections.clear();
         return pe.Build();
       }},
      // A first section whose data start inside the headers gives a negative skip length.
      {"first raw data inside the headers",
       [] {
         PeFixture pe;
         pe.sections.front().pointerToRawData = 0;
         return pe.Build();
       }},
      {"SizeOfOptionalHeader moves the table past the end",
       [] { return Patched({}, [](std::string& b) { PeFixture::Put16(b, 0x94, 0xFFFF); }); }},
      // The ranges assume the standard optional header; a shorter one would put a section
      // header's flags under the skipped certificate entry, a longer one leaves the slack
      // range in the wrong place.
      {"i386 with a 216-byte optional header",
       [] {
         PeFixture pe;
         pe.sizeOfOptionalHeader = 216;
         return pe.Build();
       }},
      {"i386 with a 232-byte optional header",
       [] {
         PeFixture pe;
         pe.sizeOfOptionalHeader = 232;
         return pe.Build();
       }},
      {"x64 with the PE32 size 224",
       [] {
         PeFixture pe;
         pe.pe64 = true;
         pe.sizeOfOptionalHeader = 224;
         return pe.Build();
       }},
      {"i386 machine over a PE32+ optional header",
       [] {
         PeFixture pe;
         pe.pe64 = true;
         pe.machine = 0x14C;
         pe.sizeOfOptionalHeader = 224;
         return pe.Build();
       }},
  };
  for (const Case& c : cases) {
    bool ok = true;
    EXPECT_TRUE(Ranges(c.make(), &ok).empty()) << c.name;
    EXPECT_FALSE(ok) << c.name;
  }
  bool ok = false;
  PeFixture fifteen;
  fifteen.sections.resize(15, {".x", 0x1000, 0x10, 0x400, 0x10});
  fifteen.sizeOfHeaders = 0x800;
  for (auto& s : fifteen.sections) s.pointerToRawData = 0x800;
  Ranges(fifteen.Build(), &ok);
  EXPECT_TRUE(ok) << "15 sections are accepted";
}

TEST(CollectHeaderSkipRanges, AppendsToTheCallersList) {
  Opened opened(SixSections(".ZTBNDL").Build());
  std::vector<container::ByteRange> ranges = {{1, 1}};
  ASSERT_TRUE(container::CollectHeaderSkipRanges(&opened.file, &ranges));
  EXPECT_EQ(ranges.size(), 6u);
  EXPECT_EQ(ranges.front(), (container::ByteRange{1, 1}));
}

TEST(CollectHeaderSkipRanges, TruncatedAtEveryLength) {
  const std::string full = SixSections(".ZTBNDL").Build();
  const size_t tableEnd = 0x108 + 24 + 224 + 40 * 6;
  for (size_t length = 0; length < full.size(); length += (length < tableEnd + 8 ? 1 : 97)) {
    bool ok = false;
    std::vector<container::ByteRange> ranges = Ranges(full.substr(0, length), &ok);
    // The skip range reaches to the first section's data at 0x400: it must be in the file.
    EXPECT_EQ(ok, length >= 0x400) << "length " << length;
    EXPECT_EQ(ranges.size(), ok ? 5u : 0u) << "length " << length;
  }
}

}  // namespace
