#include "verify/json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace verify {
namespace {

// A canonical text of a value tree, so that each case states its whole expected result.
std::string Dump(const JsonValue& v) {
  switch (v.type()) {
    case JsonType::String: {
      std::string out = "\"";
      for (unsigned char c : v.AsString()) {
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
      }
      return out + "\"";
    }
    case JsonType::Integer: return "i" + std::to_string(v.AsInteger());
    case JsonType::Real: {
      char text[32];
      std::snprintf(text, sizeof text, "r%g", v.AsReal());
      return text;
    }
    case JsonType::Object: {
      std::string out = "{";
      for (const auto& [key, member] : v.AsObject()) out += key + "=" + Dump(member) + ";";
      return out + "}";
    }
    case JsonType::Array: {
      std::string out = "[";
      for (const JsonValue& element : v.AsArray()) out += Dump(element) + ";";
      return out + "]";
    }
    case JsonType::Boolean: return v.AsBoolean() ? "true" : "false";
    case JsonType::Null: return "null";
    case JsonType::Unset: return "unset";
  }
  return "?";
}

struct ParseCase {
  const char* name;
  std::string text;
  std::string value;   // Dump of the result
  std::string output;  // everything written on standard output
};

const std::string kInvalid = "Invalid character found: '";
const std::string kNotUtf8 = "File is not in UTF-8, not parsing.\n";
const std::string kMinus = "Expected a digit, '.', 'e' or 'E', got '-' instead, ignoring it.\n";
const std::string kBadU = "Invalid \\u character, skipping it.\n";

std::string S(const char* text, size_t n) { return std::string(text, n); }

const ParseCase kCases[] = {
    // Encodings
    {"Utf8ByteOrderMark", "\xEF\xBB\xBF{\"a\":1}", "{a=i1;}",
     kInvalid + "\xEF'\n" + kInvalid + "\xBB'\n" + kInvalid + "\xBF'\n"},
    {"Utf16LeText", S("{\0\"\0a\0", 6), "null", kNotUtf8},
    {"Utf16BeText", S("\0{\0\"", 4), "null", kNotUtf8},
    {"ZeroInNestedValue", S("[1,\0\x32]", 6), "[i1;]", kNotUtf8},
    {"Utf16ByteOrderMarkPassesTheTest", S("\xFF\xFE[\0", 4), "[]",
     kInvalid + "\xFF'\n" + kInvalid + "\xFE'\n"},
    // Whole documents and what follows them
    {"TextAfterRootIgnored", "{\"a\":true} trailing [", "{a=true;}", ""},
    {"BareNumberOfTwoDigits", "42", "i42", ""},
    {"BareLongNumber", "123456789012345", "i123456789012345", ""},
    {"SingleByteDocumentReadsNothing", "7", "null", ""},
    {"EmptyDocument", "", "null", ""},
    {"OnlyWhitespace", " \t\r\n ", "null", ""},
    {"VerticalTabIsNotWhitespace", "\v1", "i1", kInvalid + "\v'\n"},
    {"Nested", "{\"a\":[1,{\"b\":\"c\"}],\"d\":2.5,\"e\":null,\"f\":false}",
     "{a=[i1;{b=\"c\";};];d=r2.5;e=null;f=false;}", ""},
    // Separators
    {"ArrayMissingComma", "[1 2,3]", "[i1;i3;]", ""},
    {"ObjectMissingComma", "{\"a\":1 \"b\":2,\"c\":3}", "{a=i1;c=i3;}", ""},
    {"KeyWithoutColonMakesNoMember", "{\"a\" 1}", "{}", ""},
    {"ByteBeforeKey", "{x\"a\":1}", "{a=i1;}", "Expected '\"', got 'x', ignoring it.\n"},
    {"RepeatedKeyKeepsLaterValue", "{\"a\":1,\"a\":\"x\"}", "{a=\"x\";}", ""},
    {"FailedTrueSwallowsComma", "[t,1]", "[i1;]", ""},
    {"FailedFalseSwallowsComma", "[fa,2]", "[i2;]", ""},
    {"ElementNothingReadIsRemoved", "[1, xy", "[i1;]", kInvalid + "x'\n" + kInvalid + "y'\n"},
    {"MemberNothingReadStaysNull", "{\"a\": xy", "{a=null;}",
     kInvalid + "x'\n" + kInvalid + "y'\n"},
    {"ObjectKeyCutByEnd", "{\"a\":1,\"b", "{a=i1;}", ""},
    {"KeysInUnsignedByteOrder", "{\"b\":1,\"\xFF\":2,\"ab\":3,\"a\":4,\"B\":5}",
     "{B=i5;a=i4;ab=i3;b=i1;\xFF=i2;}", ""},
    // Literals
    {"Literals", "[true,false,null]", "[true;false;null;]", ""},
    {"NullMismatch", "[nulx]", "[]", "invalid characters found\n" + kInvalid + "]'\n"},
    {"NullCutByEnd", "nul", "null", "json input ends incorrectly\n"},
    {"TrueCutByEnd", "[tr", "[]", ""},
    // Numbers
    {"DoubledMinus", "--5", "i-5", kMinus},
    {"MinusInside", "1-2", "i12", kMinus},
    {"SecondPointDropped", "1.2.3", "r1.23", ""},
    {"SecondExponentDropped", "1e3e4", "r1e+34", ""},
    {"PointAfterExponentDropped", "1.5e3.2", "r1.5e+32", ""},
    {"ExponentSigns", "[1e+5,2E-1]", "[r100000;r0.2;]", ""},
    {"PlusIsInvalid", "+1", "i1", kInvalid + "+'\n"},
    {"NegativeInteger", "[-7]", "[i-7;]", ""},
    {"ZeroAlone", "[0]", "[i0;]", ""},
    {"DoubleZero", "[00]", "[i0;]", ""},
    {"ZeroPoint", "[0.5]", "[r0.5;]", ""},
    {"NumberEndsAtLetter", "[12x]", "[i12;]", ""},
    {"OutOfRangeIsTheLargestOfItsSign", "[99999999999999999999,-99999999999999999999,1e999,-1e999]",
     "[i9223372036854775807;i-9223372036854775808;r1.79769e+308;r-1.79769e+308;]", ""},
    {"IncompleteNumbersAreZero", "[-,1e,1E+,-.]", "[i0;r0;r0;r0;]", ""},
    // Strings
    {"Escapes", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\x22\\x5C/\\x08\\x0C\\x0A\\x0D\\x09\"", ""},
    {"UnicodeE9", "\"\\u00e9\"", "\"\\xC3\\xA9\"", ""},
    {"UnicodeOneTwoThreeBytes", "\"\\u0041\\u07FF\\u0800\\uFFFF\"",
     "\"A\\xDF\\xBF\\xE0\\xA0\\x80\\xEF\\xBF\\xBF\"", ""},
    {"SurrogatesConvertedAlone", "\"\\ud83d\\ude00\"", "\"\\xED\\xA0\\xBD\\xED\\xB8\\x80\"", ""},
    {"UnicodeZero", "\"a\\u0000b\"", "\"a\\x00b\"", ""},
    {"BadUnicodeDigitGivesNothing", "\"\\u12G4x\"", "\"x\"", kBadU},
    {"TwoBadUnicodeDigits", "\"\\uZZ00x\"", "\"x\"", kBadU + kBadU},
    {"UnknownEscapeGivesNothing", "\"a\\qb\"", "\"ab\"", ""},
    {"HighBytesAndControlsPassThrough", "\"\xC3\xA9\x01\"", "\"\\xC3\\xA9\\x01\"", ""},
    {"StringCutByEnd", "\"abc", "\"\"", ""},
    {"StringCutInsideEscape", "\"abc\\u12", "\"\"", ""},
};

class JsonParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(JsonParse, ValueAndDiagnostics) {
  const ParseCase& c = GetParam();
  JsonValue value;
  ::testing::internal::CaptureStdout();
  value.ParseText(c.text);
  std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(Dump(value), c.value);
  EXPECT_EQ(output, c.output);
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonParse, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Json, ParseLeavesWhatFollowsUnread) {
  const std::string text = "{\"a\":1}]rest";
  JsonInput in(text);
  JsonValue value;
  value.Parse(in);
  EXPECT_EQ(Dump(value), "{a=i1;}");
  EXPECT_EQ(in.Get(), ']');
}

TEST(Json, RefusedValueKeepsPreviousContent) {
  JsonValue value;
  value.SetInteger(9);
  ::testing::internal::CaptureStdout();
  value.ParseText(std::string("\0x", 2));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(Dump(value), "i9");
}

// Hostile nesting must not recurse without bound: a deep document is read up to the limit and
// the rest is skipped.
TEST(Json, DeepNestingStopsAtTheLimit) {
  for (const char open : {'[', '{'}) {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += open == '[' ? "[" : "{\"k\":";
    JsonValue value;
    ::testing::internal::CaptureStdout();
    value.ParseText(text);
    std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(output, "Nesting too deep, skipping value.\n") << open;
    int depth = 0;
    const JsonValue* v = &value;
    while (v->type() == JsonType::Array || v->type() == JsonType::Object) {
      ++depth;
      if (v->type() == JsonType::Array) {
        if (v->AsArray().empty()) break;
        v = &v->AsArray().front();
      } else {
        if (v->AsObject().empty()) break;
        v = &v->AsObject().begin()->second;
      }
    }
    EXPECT_EQ(depth, kMaxJsonDepth) << open;
  }
}

TEST(Json, NestingAtTheLimitIsRead) {
  std::string text(kMaxJsonDepth, '[');
  text += "1";
  text += std::string(kMaxJsonDepth, ']');
  JsonValue value;
  ::testing::internal::CaptureStdout();
  value.ParseText(text);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  const JsonValue* v = &value;
  for (int i = 0; i < kMaxJsonDepth; ++i) {
    ASSERT_EQ(v->AsArray().size(), 1u) << i;
    v = &v->AsArray().front();
  }
  EXPECT_EQ(Dump(*v), "i1");
}

TEST(Json, AccessorsOfOtherTypesReturnSharedEmptyValues) {
  JsonValue text;
  text.SetString("x");
  JsonValue object;
  object.SetObject(JsonObject{{"a", JsonValue()}});
  JsonValue number;
  number.SetInteger(1);
  EXPECT_TRUE(text.AsObject().empty());
  EXPECT_EQ(&text.AsObject(), &number.AsObject());
  EXPECT_TRUE(object.AsString().empty());
  EXPECT_EQ(&object.AsString(), &number.AsString());
  EXPECT_EQ(object.AsObject().size(), 1u);
}

TEST(Json, CopiesAreDeepAndUnsetCopiesAsNull) {
  JsonValue original;
  original.ParseText("{\"a\":[1,\"x\"]}");
  JsonValue copy = original;
  JsonValue changed;
  changed.SetInteger(2);
  JsonObject members = copy.AsObject();
  members["a"] = changed;
  copy.SetObject(members);
  EXPECT_EQ(Dump(original), "{a=[i1;\"x\";];}");
  EXPECT_EQ(Dump(copy), "{a=i2;}");

  JsonValue unset;
  unset.SetUnset();
  JsonValue fromUnset(unset);
  EXPECT_EQ(fromUnset.type(), JsonType::Null);
  JsonValue assigned;
  assigned.SetString("s");
  assigned = unset;
  EXPECT_EQ(assigned.type(), JsonType::Null);
}

TEST(Json, SettersReplacePayloads) {
  JsonValue v;
  v.SetString("abc");
  v.SetString("d");
  EXPECT_EQ(Dump(v), "\"d\"");
  v.SetInteger(5);
  EXPECT_EQ(v.AsString(), "");
  v.SetReal(0.5);
  EXPECT_EQ(v.AsInteger(), 0);
  v.SetArray(JsonArray(2));
  EXPECT_EQ(Dump(v), "[null;null;]");
  v.SetBoolean(true);
  EXPECT_TRUE(v.AsArray().empty());
  v.SetNull();
  EXPECT_EQ(Dump(v), "null");
}

TEST(Json, ObjectIndexInsertsNull) {
  JsonObject object;
  EXPECT_EQ(object["sign"].type(), JsonType::Null);
  EXPECT_EQ(object.size(), 1u);
}

}  // namespace
}  // namespace verify
