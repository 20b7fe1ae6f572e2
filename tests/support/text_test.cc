#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/text.h"

namespace {

using support::HexDecode;

struct HexCase {
  const char* hex;
  int count;
  std::vector<unsigned char> expected;  // the first bytes of the output after decoding
};

TEST(HexDecode, DecodesPairsAndStopsAtCountOrEnd) {
  const HexCase cases[] = {
      {"1f", 1, {0x1F, 0xEE}},
      {"1", 1, {0x10, 0xEE}},     // a lone high digit keeps only its half
      {"zz", 1, {0x00, 0xEE}},    // invalid digits decode as zero halves
      {"ABcd", 1, {0xAB, 0xEE}},  // count stops it; out[1] untouched
      {"ABcd", 2, {0xAB, 0xCD, 0xEE}},
      {"abcd", 5, {0xAB, 0xCD, 0xEE}},  // the text's end stops it
      {"12", 0, {0xEE}},
      {"12", -3, {0xEE}},
      {"", 4, {0xEE}},
      {"g1", 1, {0x01}},
  };
  for (const HexCase& c : cases) {
    unsigned char out[8];
    std::fill(std::begin(out), std::end(out), 0xEE);
    HexDecode(out, c.hex, c.count);
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(out[i], c.expected[i]) << c.hex << " count " << c.count << " byte " << i;
    }
  }
}

TEST(SplitString, KeepsEveryEmptyElement) {
  using V = std::vector<std::string>;
  EXPECT_EQ(support::SplitString("dep-gui,a.txt,x\\a.txt", ','),
            (V{"dep-gui", "a.txt", "x\\a.txt"}));
  EXPECT_EQ(support::SplitString("a,b,", ','), (V{"a", "b", ""}));
  EXPECT_EQ(support::SplitString(",a,,", ','), (V{"", "a", "", ""}));
  EXPECT_EQ(support::SplitString("", ','), (V{""}));
  EXPECT_EQ(support::SplitString(" a , b ", ','), (V{" a ", " b "}));
}

TEST(PrefixAndSuffix, MatchWholeAffixOnly) {
  EXPECT_TRUE(support::EndsWith(u"C:\\temp\\", u"\\"));
  EXPECT_TRUE(support::EndsWith(u"", u""));
  EXPECT_TRUE(support::EndsWith(u"abc", u""));
  EXPECT_FALSE(support::EndsWith(u"c", u"abc"));
  EXPECT_FALSE(support::EndsWith(u"C:\\temp", u"\\"));
  EXPECT_TRUE(support::StartsWith("# comment", "#"));
  EXPECT_FALSE(support::StartsWith("de", "dep"));
  EXPECT_TRUE(support::StartsWith("depXYZ", "dep"));
  EXPECT_TRUE(support::StartsWith("", ""));
  EXPECT_FALSE(support::StartsWith("Dep", "dep"));
}

TEST(Conversions, RoundTripAndZeroTerminatedMode) {
  std::u16string wide;
  for (int i = 0; i < 400; ++i) wide.push_back(static_cast<char16_t>(0x4E00 + i));
  std::string utf8 = support::WideToUtf8(wide);
  EXPECT_EQ(utf8.size(), 1200u);
  EXPECT_EQ(support::Utf8ToWide(utf8), wide);

  EXPECT_EQ(support::WideToUtf8(u""), "");
  EXPECT_EQ(support::Utf8ToWide(""), u"");
  EXPECT_EQ(support::Utf8ToWide("\xC3\xA9t\xC3\xA9"), u"\u00E9t\u00E9");
  EXPECT_EQ(support::WideToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");

  std::u16string embedded = u"ab";
  embedded.push_back(0);
  embedded += u"cd";
  EXPECT_EQ(support::WideToUtf8(embedded), "ab");
  EXPECT_EQ(support::WideToUtf8(embedded, true), std::string("ab\0cd", 5));
  EXPECT_EQ(support::Utf8ToWide(std::string("x\0y", 3)), u"x");
  // Malformed input converts with replacement characters, not an error.
  EXPECT_EQ(support::Utf8ToWide("a\xFF"
                                "b"),
            u"a\uFFFDb");
}

}  // namespace
