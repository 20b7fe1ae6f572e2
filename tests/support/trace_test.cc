#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/trace.h"
#include "testutil/capture.h"
#include "testutil/temp_dir.h"

namespace {

// Drives the registry stand-in (a file) and forgets the cached answer before every check.
class TraceSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_ / "switch").string();
    old_ = std::getenv("ZT_TRACE_SWITCH") ? std::getenv("ZT_TRACE_SWITCH") : "";
    ::setenv("ZT_TRACE_SWITCH", path_.c_str(), 1);
  }
  void TearDown() override {
    ::setenv("ZT_TRACE_SWITCH", old_.c_str(), 1);
    support::testing::ResetTraceSwitch();
  }
  bool SuppressedWith(const std::string* content) {
    std::filesystem::remove(path_);
    if (content != nullptr) testutil::WriteFile(path_, *content);
    support::testing::ResetTraceSwitch();
    return support::IsTraceSuppressed();
  }

  testutil::TempDir dir_;
  std::string path_;
  std::string old_;
};

TEST_F(TraceSwitch, OnlyTheExactStringValueEnablesTracing) {
  struct Case {
    const char* name;
    const char* content;  // null: the value is missing
    bool suppressed;
  } cases[] = {
      {"missing", nullptr, true},
      {"exact", "!Tracelog!", false},
      {"exact with line end", "!Tracelog!\n", false},
      {"trailing space", "!Tracelog! ", true},
      {"other case", "!TRACELOG!", true},
      {"expand string type", "type: 2\n!Tracelog!", true},
      {"dword type", "type: 4\n!Tracelog!", true},
      {"empty", "", true},
      // The registry may report an odd size (a terminator of one byte); the read must ask for
      // exactly that size, since one byte fewer fails.
      {"odd size", "size: 21\n!Tracelog!", false},
      {"size with a longer terminator", "type: 1\nsize: 24\n!Tracelog!", false},
      {"size that cuts the text", "size: 19\n!Tracelog!", true},
  };
  for (const Case& c : cases) {
    std::string content = c.content ? c.content : "";
    EXPECT_EQ(SuppressedWith(c.content ? &content : nullptr), c.suppressed) << c.name;
  }
  // 127 characters plus terminator are 256 bytes: over the 255-byte limit whatever they hold.
  std::string big(127, 'x');
  EXPECT_TRUE(SuppressedWith(&big));
  std::string fits(126, 'x');
  EXPECT_TRUE(SuppressedWith(&fits));  // fits, but is not the enabling text
}

TEST_F(TraceSwitch, CachedAnswerStandsUntilTheIntervalHasPassed) {
  std::string on = "!Tracelog!";
  ASSERT_FALSE(SuppressedWith(&on));
  std::filesystem::remove(path_);
  // Within the interval the registry is not read again.
  EXPECT_FALSE(support::IsTraceSuppressed());
}

TEST(Trace, PrefixesThreadIdAndCutsLongMessages) {
  testutil::DebugCapture capture;
  support::Trace("value %d: %s\n", 42, "x");
  std::string longMessage(5000, 'm');
  support::Trace("%s", longMessage.c_str());
  auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 2u);
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "[T %08x] ", platform::CurrentThreadId());
  EXPECT_EQ(texts[0], std::string(prefix) + "value 42: x\n");
  EXPECT_EQ(texts[1].size(), 13u + 4077u);
  EXPECT_EQ(texts[1].substr(0, 13), prefix);
}

TEST(Trace, SuppressedTraceWritesNothing) {
  testutil::DebugCapture capture(false);
  support::testing::ForceTrace(0);
  support::Trace("hidden\n");
  EXPECT_TRUE(capture.texts().empty());
}

}  // namespace
