// The install script's rules, one table each: which platform classes a condition selects, the
// trim, and the targets refused.
#include "install_script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/text.h"

namespace {

using installer::kPlatformClasses;

// Each condition against every platform class, in kPlatformClasses' order (x86 6+, x64 6+,
// x86 5, x64 5), in run mode "silent".
TEST(DirectiveApplies, SelectsThePlatformClassesItsMarkersName) {
  struct Case {
    const char* condition;
    std::vector<bool> applies;
  } cases[] = {
      {"dep-silent", {true, true, true, true}},
      {"dep-x86-silent", {true, false, true, false}},
      {"dep-x64-silent", {false, true, false, true}},
      {"dep-w6+-silent", {true, true, false, false}},
      {"dep-w<6-silent", {false, false, true, true}},
      {"dep-x64-w<6-silent", {false, false, false, true}},
      {"dep-x86-x64-silent", {false, false, false, false}},
      {"dep-w6+-w<6-silent", {false, false, false, false}},
      {"dep-gui", {false, false, false, false}},     // another run mode
      {"x86-silent", {false, false, false, false}},  // no "dep" prefix
      {"dep", {false, false, false, false}},         // no mode marker
  };
  ASSERT_EQ(kPlatformClasses.size(), 4u);
  for (const Case& c : cases) {
    for (size_t p = 0; p < kPlatformClasses.size(); ++p) {
      EXPECT_EQ(
          installer::DirectiveApplies(c.condition, kPlatformClasses[p].representative, "silent"),
          c.applies[p])
          << c.condition << " on " << kPlatformClasses[p].name;
    }
  }
}

// What ztpack's --platform/--windows-major name falls in the class of the same name, and every
// class is its own representative's.
TEST(PlatformClasses, OptionsNameTheirClass) {
  for (size_t p = 0; p < kPlatformClasses.size(); ++p) {
    EXPECT_EQ(installer::PlatformClassOf(kPlatformClasses[p].representative), p);
  }
  struct Case {
    const char* architecture;
    int major;
    const char* name;
  } cases[] = {{"x86", 10, "x86 Windows 6+"},
               {"x64", 6, "x64 Windows 6+"},
               {"x86", 5, "x86 Windows 5"},
               {"x64", 0, "x64 Windows 5"}};
  for (const Case& c : cases) {
    const size_t p = installer::PlatformClassOf(
        installer::PlatformFor(c.architecture, static_cast<uint32_t>(c.major)));
    EXPECT_STREQ(kPlatformClasses[p].name, c.name) << c.architecture << " " << c.major;
    // Matched by both options, by each alone, and by neither; by no other class.
    for (size_t q = 0; q < kPlatformClasses.size(); ++q) {
      EXPECT_EQ(installer::PlatformClassMatches(q, c.architecture, c.major), q == p);
    }
    EXPECT_TRUE(installer::PlatformClassMatches(p, c.architecture, -1));
    EXPECT_TRUE(installer::PlatformClassMatches(p, "", c.major));
    EXPECT_TRUE(installer::PlatformClassMatches(p, "", -1));
  }
  EXPECT_EQ(installer::PlatformArchitectures(), (std::vector<std::string>{"x86", "x64"}));
}

TEST(TargetPathProblem, RefusesEveryWayOut) {
  struct Case {
    std::u16string path;
    bool refused;
  } cases[] = {
      {u"file", false},
      {u"a\\b\\c", false},
      {u".\\file", false},
      {u"a..b", false},
      {u"...x", false},
      {u"dir\\", false},
      {u"", true},
      {u"..", true},
      {u"..\\x", true},
      {u"a\\..\\x", true},
      {u"a/../x", true},
      {u"...", true},
      {u". .\\x", true},
      {u"a\\.. ", true},
      {u"\\x", true},
      {u"/x", true},
      {u"\\\\srv\\s\\x", true},
      {u"C:x", true},
      {u"C:\\x", true},
      {u"f:s", true},
      {u"\\\\?\\C:\\x", true},
      // Device names, bare, with an extension or trailing blanks, in any case, anywhere.
      {u"CON", true},
      {u"logs\\LPT1.txt", true},
      {u"nul", true},
      {u"aux.tar.gz", true},
      {u"Com9", true},
      {u"prn \\x", true},
      {u"com\u00B2", true},
      {u"conout$", true},
      {u"COM0", false},
      {u"LPT10", false},
      {u"CONSOLE", false},
      {u"xcon", false},
      {u"con_x.txt", false},
      {u"a\\nul2", false},
      // The workspace's own files, however written.
      {u"setup.exe", true},
      {u"SETUP.EXE", true},
      {u".\\ibnd", true},
      {u"Ibnd. .", true},
      {u"\u0131bnd", true},
      {u"sub\\setup.exe", false},
      {u"setup.exe.txt", false},
      {u"ibnd2", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(installer::TargetPathProblem(c.path) != nullptr, c.refused)
        << support::WideToUtf8(c.path);
  }
}

TEST(TrimScriptLine, TrimsBytesUpToBlankAtBothEnds) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},           {" \t x,y \r\n", "x,y"}, {"\xEF\xBB\xBFx", "x"},
      {"x\xC3\xA9", "x"}, {"\x80\x01 # c", "# c"}, {"a b", "a b"},
  };
  for (const Case& c : cases) EXPECT_EQ(installer::TrimScriptLine(c.in), c.out) << c.in;
}

TEST(TrimRunMode, TrimsTrailingBytesUpToBlankOnly) {
  EXPECT_EQ(installer::TrimRunMode(" gui \r\n\x80"), " gui");
  EXPECT_EQ(installer::TrimRunMode("silent"), "silent");
  EXPECT_EQ(installer::TrimRunMode("\t "), "");
}

}  // namespace
