#include "container/attachment.h"

#include <gtest/gtest.h>
#include <unistd.h>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "author/attachment_writer.h"
#include "author/pe_image.h"
#include "container/attachment_format.h"
#include "testutil/capture.h"
#include "testutil/pe_fixture.h"
#include "testutil/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

std::string Chain(const std::vector<std::pair<std::string, std::string>>& items) {
  std::vector<ztpack::AttachmentInput> inputs;
  for (const auto& [type, data] : items)
    inputs.push_back(ztpack::AttachmentInput::FromBytes(type, data));
  auto chain = ztpack::MakeChain(inputs);
  EXPECT_TRUE(chain.ok()) << chain.error();
  return chain.ok() ? *chain : std::string();
}

std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

struct Outcome {
  bool ok = false;
  std::string data;
  Lines lines;
  bool destinationExists = false;
  int32_t dataOffset = -7;
};

enum class Op { kFile, kFileFromSection, kString, kOffset };

Outcome RunOp(Op op, const std::string& container, const std::string& type, int span = 50,
              int base = 0) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "container", container);
  Outcome out;
  testutil::DebugCapture capture;
  switch (op) {
    case Op::kFile:
    case Op::kFileFromSection:
      out.ok = container::ExtractAttachmentToFile(op == Op::kFileFromSection, dir.u16("container"),
                                                  type, dir.u16("out"), span, base);
      out.destinationExists = std::filesystem::exists(dir / "out");
      if (out.destinationExists) out.data = testutil::ReadFile(dir / "out");
      break;
    case Op::kString:
      out.data = container::ReadAttachmentToString(dir.u16("container"), type);
      out.ok = !out.data.empty();
      break;
    case Op::kOffset:
      out.data = container::ReadAttachmentWithOffset(dir.u16("container"), type, &out.dataOffset);
      out.ok = !out.data.empty();
      break;
  }
  out.lines = capture.lines();
  return out;
}

// ---------------------------------------------------------------------------------------------
// The search, through the file variant (chain at the end of the file)

struct SearchCase {
  const char* name;
  std::function<std::string()> container;
  std::string type;
  bool ok;
  std::string data;  // destination content when ok
  Lines lines;
};

TEST(ExtractAttachmentToFile, Search) {
  const std::string gui = "gui";
  const std::string load = Pattern(1000);
  const SearchCase cases[] = {
      {"found, nearest the end",
       [&] {
         return Chain({{"TYPE", gui}, {"LOAD", load}});
       },
       "LOAD",
       true,
       load,
       {"Going to extract file: LOAD\n", "Found attachment: LOAD\n", "Progress 0%", "Extracted\n"}},
      {"found behind another",
       [&] {
         return "junk" + Chain({{"TYPE", gui}, {"LOAD", load}});
       },
       "TYPE",
       true,
       gui,
       {"Going to extract file: TYPE\n", "Found attachment: LOAD\n", "Found attachment: TYPE\n",
        "Progress 0%", "Extracted\n"}},
      {"three characters",
       [&] {
         return Chain({{"TYPE", gui}});
       },
       "TYP",
       false,
       "",
       {"Invalid type to extract: TYP\n"}},
      {"five characters",
       [&] {
         return Chain({{"TYPE", gui}});
       },
       "TYPES",
       false,
       "",
       {"Invalid type to extract: TYPES\n"}},
      {"last 28 bytes not a footer",
       [&] {
         return Chain({{"TYPE", gui}}) + "x";
       },
       "TYPE",
       false,
       "",
       {"Going to extract file: TYPE\n", "Not found!\n"}},
      {"absent, walk passes offset 0",
       [&] {
         return Chain({{"TYPE", gui}, {"LOAD", load}});
       },
       "IBND",
       false,
       "",
       {"Going to extract file: IBND\n", "Found attachment: LOAD\n", "Found attachment: TYPE\n",
        "Not found!\n"}},
      {"absent, bytes in front of the chain",
       [&] {
         return std::string(40, 'z') + Chain({{"TYPE", gui}});
       },
       "IBND",
       false,
       "",
       {"Going to extract file: IBND\n", "Found attachment: TYPE\n", "Not found!\n"}},
      {"two of a type: the nearer wins",
       [&] {
         return Chain({{"LOAD", "old"}, {"TYPE", gui}, {"LOAD", "new"}});
       },
       "LOAD",
       true,
       "new",
       {"Going to extract file: LOAD\n", "Found attachment: LOAD\n", "Progress 0%", "Extracted\n"}},
      {"size 0: no chunk, no progress, empty file",
       [&] {
         return Chain({{"IBND", ""}});
       },
       "IBND",
       true,
       "",
       {"Going to extract file: IBND\n", "Found attachment: IBND\n", "Extracted\n"}},
      {"file shorter than a footer",
       [] { return std::string("ABD2"); },
       "TYPE",
       false,
       "",
       {"Going to extract file: TYPE\n", "Not found!\n"}},
      {"empty file",
       [] { return std::string(); },
       "TYPE",
       false,
       "",
       {"Going to extract file: TYPE\n", "Not found!\n"}},
  };
  for (const SearchCase& c : cases) {
    Outcome out = RunOp(Op::kFile, c.container(), c.type);
    EXPECT_EQ(out.ok, c.ok) << c.name;
    EXPECT_EQ(out.lines, c.lines) << c.name;
    EXPECT_EQ(out.destinationExists, c.ok) << c.name << ": destination left behind";
    if (c.ok) {
      EXPECT_EQ(out.data, c.data) << c.name;
    }
  }
}

// Footer fields of a one-attachment container set to 0, the maximum, size +- 1 and so on.
TEST(ExtractAttachmentToFile, FooterFieldEdits) {
  const std::string data = Pattern(300);
  const std::string original = "prefix" + Chain({{"LOAD", data}});
  const size_t footer = original.size() - container::kFooterSize;
  struct Case {
    const char* name;
    std::function<void(std::string&)> edit;
    Lines tail;  // lines after "Going to extract file: LOAD\n"
  };
  auto setSize = [footer](uint32_t v) {
    return [footer, v](std::string& b) { testutil::PeFixture::Put32(b, footer + 16, v); };
  };
  const Case cases[] = {
      {"size 0", setSize(0), {"Found attachment: LOAD\n", "hash fail\n"}},
      {"size - 1", setSize(299), {"Found attachment: LOAD\n", "Progress 0%", "hash fail\n"}},
      {"size + 1", setSize(301), {"Found attachment: LOAD\n", "Progress 0%", "hash fail\n"}},
      {"size reaching offset 0 exactly",
       setSize(306),
       {"Found attachment: LOAD\n", "Progress 0%", "hash fail\n"}},
      {"size reaching before offset 0",
       setSize(307),
       {"Found attachment: LOAD\n", "Invalid pos\n"}},
      {"size maximum", setSize(0xFFFFFFFF), {"Found attachment: LOAD\n", "Invalid pos\n"}},
      {"size 2^31", setSize(0x80000000u), {"Found attachment: LOAD\n", "Invalid pos\n"}},
      {"digest byte flipped",
       [footer](std::string& b) { b[footer + 15] ^= 1; },
       {"Found attachment: LOAD\n", "Progress 0%", "hash fail\n"}},
      {"data byte flipped",
       [footer](std::string& b) { b[footer - 1] ^= 0x80; },
       {"Found attachment: LOAD\n", "Progress 0%", "hash fail\n"}},
      {"magic changed", [footer](std::string& b) { b[footer + 27] = '3'; }, {"Not found!\n"}},
      {"type in other case",
       [footer](std::string& b) { b[footer + 20] = 'l'; },
       {"Found attachment: lOAD\n", "Not found!\n"}},
  };
  for (const Case& c : cases) {
    std::string bytes = original;
    c.edit(bytes);
    Outcome out = RunOp(Op::kFile, bytes, "LOAD");
    Lines expected = {"Going to extract file: LOAD\n"};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_FALSE(out.ok) << c.name;
    EXPECT_EQ(out.lines, expected) << c.name;
    EXPECT_FALSE(out.destinationExists) << c.name << ": a failed extraction left its file";
  }
}

// Cutting the front of a container keeps the chain end: the attachment is found until its
// data start is cut away, then its start lies before offset 0.
TEST(ExtractAttachmentToFile, FrontCutAtEveryLength) {
  const std::string data = Pattern(200);
  const std::string full = std::string(50, 'p') + Chain({{"TYPE", "gui"}, {"LOAD", data}});
  const size_t loadStart = 50 + 3 + container::kFooterSize;
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    Outcome out = RunOp(Op::kFile, full.substr(cut), "LOAD");
    EXPECT_EQ(out.ok, cut <= loadStart) << "cut " << cut;
    if (cut > loadStart && cut <= full.size() - container::kFooterSize) {
      EXPECT_EQ(out.lines.back(), "Invalid pos\n") << "cut " << cut;
    }
    EXPECT_EQ(out.destinationExists, out.ok) << "cut " << cut;
  }
}

TEST(ExtractAttachmentToFile, TailCutAtEveryLengthFindsNothingWrong) {
  const std::string full = Chain({{"TYPE", "gui"}, {"LOAD", Pattern(100)}});
  for (size_t length = 0; length < full.size(); ++length) {
    Outcome out = RunOp(Op::kFile, full.substr(0, length), "LOAD");
    EXPECT_FALSE(out.ok) << "length " << length;
    EXPECT_FALSE(out.destinationExists) << "length " << length;
  }
}

TEST(ExtractAttachmentToFile, ProgressBeforeEachMegabyteChunk) {
  const std::string data = Pattern(3670016);
  const std::string container = Chain({{"LOAD", data}});
  struct Case {
    int span, base;
    Lines progress;
  };
  const Case cases[] = {
      {50, 0, {"Progress 0%", "Progress 14%", "Progress 28%", "Progress 42%"}},
      {25, 50, {"Progress 50%", "Progress 57%", "Progress 64%", "Progress 71%"}},
  };
  for (const Case& c : cases) {
    Outcome out = RunOp(Op::kFile, container, "LOAD", c.span, c.base);
    ASSERT_TRUE(out.ok);
    Lines expected = {"Going to extract file: LOAD\n", "Found attachment: LOAD\n"};
    expected.insert(expected.end(), c.progress.begin(), c.progress.end());
    expected.push_back("Extracted\n");
    EXPECT_EQ(out.lines, expected) << "base " << c.base;
    EXPECT_EQ(out.data, data);
  }
}

TEST(ExtractAttachmentToFile, OpenFailures) {
  testutil::TempDir dir;
  testutil::DebugCapture capture;
  EXPECT_FALSE(
      container::ExtractAttachmentToFile(false, dir.u16("missing"), "LOAD", dir.u16("out"), 50, 0));
  EXPECT_FALSE(std::filesystem::exists(dir / "out")) << "destination created for no container";
  testutil::WriteFile(dir / "c", Chain({{"LOAD", "x"}}));
  EXPECT_FALSE(container::ExtractAttachmentToFile(false, dir.u16("c"), "LOAD",
                                                  dir.u16("no/such/dir/out"), 50, 0));
  const std::string base = dir.path().string();
  EXPECT_EQ(capture.lines(), (Lines{"Could not open container: " + base + "/missing\n",
                                    "Could not open destination: " + base + "/no/such/dir/out\n"}));
}

// A destination that stops taking bytes (a full disk): "write fail", and the file goes.
TEST(ExtractAttachmentToFile, WriteFailureDeletesTheDestination) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  testutil::TempDir dir;
  testutil::WriteFile(dir / "c", Chain({{"LOAD", Pattern(5000)}}));
  std::filesystem::create_symlink("/dev/full", dir / "out");
  testutil::DebugCapture capture;
  EXPECT_FALSE(
      container::ExtractAttachmentToFile(false, dir.u16("c"), "LOAD", dir.u16("out"), 50, 0));
  EXPECT_EQ(capture.lines(), (Lines{"Going to extract file: LOAD\n", "Found attachment: LOAD\n",
                                    "Progress 0%", "write fail\n"}));
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "out"));
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

// Positions are signed 32-bit: a chain ending at 2^31 - 1 is read, one in a file of 2 GiB or
// more is refused with "Not found!" rather than read through a wrapped position. Sparse files.
TEST(ExtractAttachmentToFile, TwoGigabyteLimit) {
  const std::string chain = Chain({{"LOAD", "data"}});
  struct Case {
    const char* name;
    uint64_t chainEnd;
    bool ok;
    Lines lines;
  };
  const Case cases[] = {
      {"chain ending at 2^31 - 1",
       0x7FFFFFFF,
       true,
       {"Going to extract file: LOAD\n", "Found attachment: LOAD\n", "Progress 0%", "Extracted\n"}},
      {"chain ending at 2^31",
       0x80000000ull,
       false,
       {"Going to extract file: LOAD\n", "Not found!\n"}},
      {"chain ending at 2^32 + 100",
       0x100000064ull,
       false,
       {"Going to extract file: LOAD\n", "Not found!\n"}},
  };
  for (const Case& c : cases) {
    testutil::TempDir dir;
    {
      std::ofstream out(dir / "big", std::ios::binary);
      out.seekp(static_cast<std::streamoff>(c.chainEnd - chain.size()));
      out.write(chain.data(), static_cast<std::streamsize>(chain.size()));
    }
    testutil::DebugCapture capture;
    EXPECT_EQ(
        container::ExtractAttachmentToFile(false, dir.u16("big"), "LOAD", dir.u16("out"), 50, 0),
        c.ok)
        << c.name;
    EXPECT_EQ(capture.lines(), c.lines) << c.name;
    EXPECT_EQ(std::filesystem::exists(dir / "out"), c.ok) << c.name;
    capture.clear();
    int32_t offset = -7;
    EXPECT_EQ(container::ReadAttachmentWithOffset(dir.u16("big"), "LOAD", &offset),
              c.ok ? "data" : "")
        << c.name;
    EXPECT_EQ(offset, c.ok ? static_cast<int32_t>(c.chainEnd - chain.size()) : -7) << c.name;
  }
}

// The stored bytes are fixed by the format: data XOR key, MD5, size, type, "ABD2".
TEST(AttachmentFormat, WriterProducesTheDocumentedBytes) {
  auto made = ztpack::MakeAttachment("LOAD", "abc");
  ASSERT_TRUE(made.ok());
  const std::string& b = *made;
  ASSERT_EQ(b.size(), 3 + container::kFooterSize);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(static_cast<uint8_t>(b[i]),
              static_cast<uint8_t>("abc"[i] ^ container::kContainerKey));
  }
  uint8_t digest[16];
  CryptoPP::Weak::MD5().CalculateDigest(digest, reinterpret_cast<const uint8_t*>("abc"), 3);
  EXPECT_EQ(b.substr(3, 16), std::string(reinterpret_cast<char*>(digest), 16));
  EXPECT_EQ(b.substr(19), std::string("\x03\x00\x00\x00LOADABD2", 12));
  EXPECT_FALSE(ztpack::MakeAttachment("LOA", "x").ok());
}

TEST(AttachmentFormat, ScrambleMatchesTheByteRuleAtEveryLengthAndAlignment) {
  const std::string data = Pattern(131);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; offset + length <= data.size(); length += 7) {
      std::string copy = data;
      container::ScrambleInPlace(reinterpret_cast<uint8_t*>(&copy[offset]), length);
      for (size_t i = 0; i < data.size(); ++i) {
        const bool inside = i >= offset && i < offset + length;
        ASSERT_EQ(static_cast<uint8_t>(copy[i]),
                  static_cast<uint8_t>(inside ? data[i] ^ container::kContainerKey : data[i]));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The section variants, through the real section writer

std::string WithSection(const std::vector<std::pair<std::string, std::string>>& items,
                        testutil::PeFixture pe = {}) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "in.exe", pe.Build());
  std::vector<ztpack::AttachmentInput> inputs;
  for (const auto& [type, data] : items)
    inputs.push_back(ztpack::AttachmentInput::FromBytes(type, data));
  auto status =
      ztpack::WriteBundleSection((dir / "in.exe").string(), (dir / "out.exe").string(), inputs);
  EXPECT_TRUE(status.ok()) << status.error();
  return testutil::ReadFile(dir / "out.exe");
}

TEST(ReadAttachmentToString, Cases) {
  const std::string pe = WithSection({{"TYPE", "silent"}, {"LOAD", "setup"}});
  struct Case {
    const char* name;
    std::string container;
    std::string type;
    std::string result;
    Lines lines;
  };
  const Case cases[] = {
      {"TYPE behind LOAD",
       pe,
       "TYPE",
       "silent",
       {"Going to extract file: TYPE\n", "Found attachment: LOAD\n", "Found attachment: TYPE\n",
        "Extracted\n"}},
      {"chain end is the section end, not the file end",
       pe + Chain({{"TYPE", "gui"}}),
       "TYPE",
       "silent",
       {"Going to extract file: TYPE\n", "Found attachment: LOAD\n", "Found attachment: TYPE\n",
        "Extracted\n"}},
      {"not an executable",
       Chain({{"TYPE", "gui"}}),
       "TYPE",
       "",
       {"Going to extract file: TYPE\n", "Not found!\n"}},
      {"section end past the end of the file",
       pe.substr(0, pe.size() - 1),
       "TYPE",
       "",
       {"Going to extract file: TYPE\n", "Header read fail\n"}},
      {"invalid type", pe, "TYPEX", "", {"Invalid type to extract: TYPEX\n"}},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStdout();
    Outcome out = RunOp(Op::kString, c.container, c.type);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.data, c.result) << c.name;
    EXPECT_EQ(out.lines, c.lines) << c.name;
  }
}

TEST(ExtractAttachmentToFile, FromSection) {
  const std::string load = Pattern(70000);
  Outcome out = RunOp(Op::kFileFromSection, WithSection({{"TYPE", "gui"}, {"LOAD", load}}), "LOAD");
  EXPECT_TRUE(out.ok);
  EXPECT_EQ(out.data, load);
  EXPECT_EQ(out.lines, (Lines{"Going to extract file: LOAD\n", "Found attachment: LOAD\n",
                              "Progress 0%", "Extracted\n"}));
}

TEST(ReadAttachmentWithOffset, Cases) {
  const std::string sig = "{\"sign\":\"00\"}";
  // Unsigned: the chain ends at the end of the file.
  const std::string plain = std::string(100, 'x') + Chain({{"_SG2", sig}, {"IBND", "bundle"}});
  // Signed: the chain ends at SizeOfImage; the certificate table follows.
  testutil::PeFixture signedPe;
  std::string image = WithSection({{"_SG2", sig}});
  const uint32_t imageEnd = static_cast<uint32_t>(image.size());
  std::string certificate(1024, 'c');
  std::string withCertificate = image + certificate;
  const uint64_t dirs = 0x80 + 24 + 96 + 8 * 4;
  testutil::PeFixture::Put32(withCertificate, dirs, imageEnd);
  testutil::PeFixture::Put32(withCertificate, dirs + 4, 1024);
  std::string badDigest = plain;
  badDigest[100 + 3] ^= 1;  // a data byte of _SG2

  struct Case {
    const char* name;
    std::string container;
    std::string result;
    int32_t offset;  // -7: untouched
    Lines lines;
  };
  const int32_t plainOffset = 100;
  const int32_t signedOffset = static_cast<int32_t>(imageEnd - container::kFooterSize - sig.size());
  const Case cases[] = {
      {"unsigned: from the end of the file",
       plain,
       sig,
       plainOffset,
       {"Going to extract file: _SG2\n", "Extracted\n"}},
      {"signed: from SizeOfImage",
       withCertificate,
       sig,
       signedOffset,
       {"Going to extract file: _SG2\n", "Extracted\n"}},
      {"digest fails: offset kept, result empty",
       badDigest,
       "",
       plainOffset,
       {"Going to extract file: _SG2\n", "hash fail\n"}},
      {"not found: offset untouched",
       Chain({{"IBND", "b"}}),
       "",
       -7,
       {"Going to extract file: _SG2\n", "Not found!\n"}},
  };
  for (const Case& c : cases) {
    Outcome out = RunOp(Op::kOffset, c.container, "_SG2");
    EXPECT_EQ(out.data, c.result) << c.name;
    EXPECT_EQ(out.dataOffset, c.offset) << c.name;
    EXPECT_EQ(out.lines, c.lines) << c.name;
  }
  testutil::TempDir dir;
  testutil::DebugCapture capture;
  int32_t offset = -7;
  EXPECT_EQ(container::ReadAttachmentWithOffset(dir.u16("gone"), "_SG2", &offset), "");
  EXPECT_EQ(offset, -7);
  EXPECT_EQ(capture.lines(), Lines{"Could not open container: " + dir.path().string() + "/gone\n"});
}

// ---------------------------------------------------------------------------------------------
// Writer to reader over random chains

TEST(AttachmentRoundTrip, RandomChains) {
  std::mt19937 rng(20261208);
  const std::vector<std::string> types = {"TYPE", "LOAD", "IBND", "_SG2", "\x01\x02\x03\x04"};
  for (int round = 0; round < 40; ++round) {
    std::vector<std::pair<std::string, std::string>> items;
    const int count = 1 + static_cast<int>(rng() % 5);
    for (int i = 0; i < count; ++i) {
      size_t size = rng() % 4 == 0 ? 0 : rng() % (round % 10 == 0 ? 2500000 : 3000);
      items.push_back({types[rng() % types.size()], Pattern(size, rng())});
    }
    const std::string prefix = Pattern(rng() % 64, rng());
    const std::string file = prefix + Chain(items);
    const std::string pe = WithSection(items);
    for (const std::string& type : types) {
      const std::pair<std::string, std::string>* expected = nullptr;
      for (const auto& item : items) {
        if (item.first == type) expected = &item;  // the last written is nearest the end
      }
      Outcome fromFile = RunOp(Op::kFile, file, type);
      EXPECT_EQ(fromFile.ok, expected != nullptr) << "round " << round << " " << type;
      if (expected) {
        EXPECT_EQ(fromFile.data, expected->second) << "round " << round;
      }
      Outcome fromSection = RunOp(Op::kFileFromSection, pe, type);
      EXPECT_EQ(fromSection.ok, expected != nullptr) << "round " << round << " " << type;
      if (expected) {
        EXPECT_EQ(fromSection.data, expected->second) << "round " << round;
      }
      Outcome withOffset = RunOp(Op::kOffset, file, type);
      if (expected && !expected->second.empty()) {
        EXPECT_EQ(withOffset.data, expected->second) << "round " << round;
      }
    }
  }
}

}  // namespace
