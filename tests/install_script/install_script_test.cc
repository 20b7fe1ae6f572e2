// The install script's rules, one table each: which platform classes a condition selects, the
// trim, what each line does, and the targets refused and why.
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

// Each line's action and its reason: a line not selected is skipped whatever its fields; a
// selected one needs three, and its target is checked, the way out before the length.
TEST(DecideScriptLine, SaysWhatEachLineDoesAndWhy) {
  using Action = installer::ScriptLineAction;
  const installer::Platform x86 = kPlatformClasses[0].representative;
  const installer::Platform x64 = kPlatformClasses[1].representative;
  std::string e249;
  for (int i = 0; i < 249; ++i) e249 += "\xC3\xA9";
  struct Case {
    std::string line;
    installer::Platform platform;
    size_t workspace;
    Action::Kind kind;
    size_t fields;
    std::string entry, target;
    const char* problem;  // null: none
  } cases[] = {
      {"", x86, 40, Action::kComment, 0, "", "", nullptr},
      {"#dep-silent,a,..", x86, 40, Action::kComment, 0, "", "", nullptr},
      {"dep-gui,a,..\\x", x86, 40, Action::kSkipped, 3, "a", "..\\x", nullptr},
      {"dep-x64-silent,a,b", x86, 40, Action::kSkipped, 3, "a", "b", nullptr},
      {"dep-gui", x86, 40, Action::kSkipped, 1, "", "", nullptr},
      {"dep-silent", x86, 40, Action::kTooFewFields, 1, "", "", nullptr},
      {"dep-x64-silent,a", x64, 40, Action::kTooFewFields, 2, "a", "", nullptr},
      {"dep-x64-silent,a,d\\b", x64, 40, Action::kExtract, 3, "a", "d\\b", nullptr},
      {"dep-silent,a,b,c,", x86, 40, Action::kExtract, 5, "a", "b", nullptr},
      {"dep-silent,,b", x86, 40, Action::kExtract, 3, "", "b", nullptr},
      {"dep-silent,a,", x86, 40, Action::kRefusedTarget, 3, "a", "", "empty path"},
      {"dep-silent,a,SETUP.exe", x86, 40, Action::kRefusedTarget, 3, "a", "SETUP.exe",
       "names the setup program or the bundle"},
      // The way out is named even where the path is also too long.
      {"dep-silent,a,..\\x", x86, 300, Action::kRefusedTarget, 3, "a", "..\\x", "\"..\" component"},
      {"dep-silent,a,ab", x86, 258, Action::kRefusedTarget, 3, "a", "ab",
       "path longer than 259 characters"},
      // Counted in UTF-16 characters, not UTF-8 bytes: 249 of them fit, 498 bytes would not.
      {"dep-silent,a," + e249, x86, 10, Action::kExtract, 3, "a", e249, nullptr},
  };
  for (const Case& c : cases) {
    const Action a = installer::DecideScriptLine(c.line, c.platform, "silent", c.workspace);
    EXPECT_EQ(a.kind, c.kind) << c.line;
    EXPECT_EQ(a.fieldCount, c.fields) << c.line;
    EXPECT_EQ(a.entry, c.entry) << c.line;
    EXPECT_EQ(a.target, c.target) << c.line;
    EXPECT_STREQ(a.problem, c.problem) << c.line;
  }
}

// The whole path and its directory (what stands before the last backslash, the workspace's own
// included) against their limits, each at the limit and one past it.
TEST(TargetLengthProblem, NamesTheLimitPassed) {
  const char* kPath = "path longer than 259 characters";
  const char* kDirectory = "directory longer than 247 characters";
  struct Case {
    size_t workspace;
    std::u16string target;
    const char* problem;  // null: fits
  } cases[] = {
      {10, std::u16string(249, u'f'), nullptr},
      {10, std::u16string(250, u'f'), kPath},
      {0, std::u16string(259, u'f'), nullptr},
      {0, u"f", nullptr},
      {10, std::u16string(237, u'd') + u"\\f", nullptr},
      {10, std::u16string(238, u'd') + u"\\f", kDirectory},
      {10, u"a\\" + std::u16string(235, u'd') + u"\\f", nullptr},
      {10, u"a\\" + std::u16string(236, u'd') + u"\\f", kDirectory},
      {10, std::u16string(238, u'd') + u"\\", kDirectory},
      // Without a backslash the directory is the workspace itself, less its trailing one.
      {248, u"f", nullptr},
      {249, u"f", kDirectory},
      // Both too long: the whole path is named.
      {10, std::u16string(240, u'd') + u"\\" + std::u16string(20, u'f'), kPath},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(installer::TargetLengthProblem(c.workspace, c.target), c.problem)
        << c.workspace << " + " << c.target.size();
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
