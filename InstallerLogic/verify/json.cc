#include "verify/json.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace verify {

namespace {

constexpr char kTrue[] = "true";
constexpr char kFalse[] = "false";
constexpr char kNull[] = "null";
// The first ten are the decimal digits, all 22 the hexadecimal ones.
constexpr char kDigits[] = "0123456789ABCDEFabcdef";

bool IsDecimal(int c) { return c != JsonInput::kEnd && std::memchr(kDigits, c, 10) != nullptr; }
bool IsHex(int c) {
  return c != JsonInput::kEnd && c != 0 && std::memchr(kDigits, c, 22) != nullptr;
}
bool IsWhitespace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

// Every diagnostic is one line on standard output, flushed at once. Plain stdio rather than
// iostreams: a stream would pull the C++ library's whole locale machinery into the front end.
void Say(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
void SayWithByte(std::string_view before, int byte, std::string_view after) {
  std::string line(before);
  line.push_back(static_cast<char>(byte));
  line.append(after);
  Say(line);
}

void AppendUtf8(std::string* out, unsigned codePoint) {
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

const JsonObject& EmptyObject() {
  static const JsonObject* empty = new JsonObject();
  return *empty;
}
const std::string& EmptyString() {
  static const std::string* empty = new std::string();
  return *empty;
}
const JsonArray& EmptyArray() {
  static const JsonArray* empty = new JsonArray();
  return *empty;
}

}  // namespace

// The reading rules; all state lives in the call chain of one Parse.
class JsonReader {
 public:
  static void Value(JsonValue& value, JsonInput& in, int depth);

 private:
  // Reads up to the closing quote; false (and *out untouched) when the input ends first.
  static bool String(JsonInput& in, std::string* out);
  static void Number(JsonValue& value, JsonInput& in);
  static void Object(JsonValue& value, JsonInput& in, int depth);
  static void Array(JsonValue& value, JsonInput& in, int depth);
  // Takes the bytes after the first letter of a literal; true when they all match.
  static bool Literal(JsonInput& in, const char* rest, bool* ended);
  // Skips up to and including the next `,` or `close`, the search starting at the member's or
  // element's first byte `first` (taken from the stream again when the value left it there).
  // True when `close` was found, false for a comma or the end of the input.
  static bool SkipToSeparator(JsonInput& in, size_t firstPos, int first, int close, bool* ended);
};

bool JsonReader::Literal(JsonInput& in, const char* rest, bool* ended) {
  *ended = false;
  for (const char* p = rest; *p != '\0'; ++p) {
    int c = in.Get();
    if (c == JsonInput::kEnd) {
      *ended = true;
      return false;
    }
    if (c != static_cast<unsigned char>(*p)) return false;
  }
  return true;
}

void JsonReader::Value(JsonValue& value, JsonInput& in, int depth) {
  // Refuses UTF-16 and UTF-32 text whose first character is ASCII (a zero among the first two
  // bytes). When the input ends within these two bytes, nothing is read and nothing is said.
  int first = in.Get();
  if (first == JsonInput::kEnd) return;
  int second = in.Get();
  if (second == JsonInput::kEnd) return;
  if (first == 0 || second == 0) {
    Say("File is not in UTF-8, not parsing.");
    return;
  }
  in.PutBack();
  in.PutBack();

  for (int c = in.Get(); c != JsonInput::kEnd; c = in.Get()) {
    switch (c) {
      case '"': {
        value.SetString(std::string());
        String(in, &value.string_);
        return;
      }
      case '{':
      case '[':
        if (depth >= kMaxJsonDepth) {
          // Deeper nesting is not read at all: the enclosing reader skips it as it skips any
          // value it could not use, without recursing.
          in.PutBack();
          Say("Nesting too deep, skipping value.");
          return;
        }
        if (c == '{') {
          value.SetObject(JsonObject());
          Object(value, in, depth + 1);
        } else {
          value.SetArray(JsonArray());
          Array(value, in, depth + 1);
        }
        return;
      case 'n': {
        bool ended = false;
        if (Literal(in, kNull + 1, &ended)) {
          value.SetNull();
          return;
        }
        Say(ended ? "json input ends incorrectly" : "invalid characters found");
        break;
      }
      case 't':
      case 'f': {
        bool ended = false;
        if (Literal(in, c == 't' ? kTrue + 1 : kFalse + 1, &ended)) {
          value.SetBoolean(c == 't');
          return;
        }
        break;
      }
      case '-':
        in.PutBack();
        Number(value, in);
        return;
      default:
        if (IsDecimal(c)) {
          in.PutBack();
          Number(value, in);
          return;
        }
        if (!IsWhitespace(c)) SayWithByte("Invalid character found: '", c, "'");
        break;
    }
  }
}

bool JsonReader::String(JsonInput& in, std::string* out) {
  std::string text;
  for (;;) {
    int c = in.Get();
    if (c == JsonInput::kEnd) return false;
    if (c == '"') break;
    if (c != '\\') {
      text.push_back(static_cast<char>(c));
      continue;
    }
    c = in.Get();
    switch (c) {
      case JsonInput::kEnd: return false;
      case '"':
      case '\\':
      case '/': text.push_back(static_cast<char>(c)); break;
      case 'b': text.push_back('\b'); break;
      case 'f': text.push_back('\f'); break;
      case 'n': text.push_back('\n'); break;
      case 'r': text.push_back('\r'); break;
      case 't': text.push_back('\t'); break;
      case 'u': {
        unsigned codePoint = 0;
        bool valid = true;
        for (int i = 0; i < 4; ++i) {
          int h = in.Get();
          if (h == JsonInput::kEnd) return false;
          if (!IsHex(h)) {
            Say("Invalid \\u character, skipping it.");
            valid = false;
            continue;
          }
          codePoint = codePoint * 16 + static_cast<unsigned>(HexValue(h));
        }
        if (valid) AppendUtf8(&text, codePoint);
        break;
      }
      default: break;  // an unknown escape gives nothing
    }
  }
  *out = std::move(text);
  return true;
}

void JsonReader::Number(JsonValue& value, JsonInput& in) {
  if (in.Peek() == '0') {
    in.Get();
    if (in.Peek() == '0') {
      // "00": the first zero alone is the number; the second stays for the enclosing reader.
      value.SetInteger(0);
      return;
    }
    in.PutBack();
  }

  std::string text;
  bool point = false;
  bool exponent = false;
  for (int c = in.Get(); c != JsonInput::kEnd; c = in.Get()) {
    if (c == '-') {
      if (text.empty()) {
        text.push_back('-');
      } else {
        Say("Expected a digit, '.', 'e' or 'E', got '-' instead, ignoring it.");
      }
    } else if (IsDecimal(c)) {
      text.push_back(static_cast<char>(c));
    } else if (c == '.') {
      if (!point && !exponent) {
        text.push_back('.');
        point = true;
      }
    } else if (c == 'e' || c == 'E') {
      if (!exponent) {
        text.push_back(static_cast<char>(c));
        exponent = true;
        int sign = in.Peek();
        if (sign == '-' || sign == '+') text.push_back(static_cast<char>(in.Get()));
      }
    } else {
      in.PutBack();
      break;
    }
  }

  // The text is at most a sign, digits, one point and one exponent with its sign; it is read in
  // the C locale (the program never changes it), as a whole or not at all: text that is no
  // number on its own ("-", "1e", "-.") gives 0, and a value out of range the largest one of its
  // sign.
  const char* begin = text.c_str();
  char* end = nullptr;
  if (point || exponent) {
    double number = std::strtod(begin, &end);
    if (end != begin + text.size()) {
      number = 0.0;
    } else if (std::isinf(number)) {
      number = number > 0 ? DBL_MAX : -DBL_MAX;
    }
    value.SetReal(number);
  } else {
    long long number = std::strtoll(begin, &end, 10);
    if (end != begin + text.size()) number = 0;
    value.SetInteger(number);
  }
}

bool JsonReader::SkipToSeparator(JsonInput& in, size_t firstPos, int first, int close,
                                 bool* ended) {
  *ended = false;
  int c = first;
  if (in.Position() == firstPos) c = in.Get();  // the value left its first byte unread
  while (c != JsonInput::kEnd && c != ',' && c != close) c = in.Get();
  if (c == JsonInput::kEnd) *ended = true;
  return c == close;
}

void JsonReader::Object(JsonValue& value, JsonInput& in, int depth) {
  JsonObject& object = *value.object_;
  std::string key;
  for (int c = in.Get(); c != JsonInput::kEnd; c = in.Get()) {
    if (IsWhitespace(c)) continue;
    if (c == '}') return;
    if (c != '"') {
      SayWithByte("Expected '\"', got '", c, "', ignoring it.");
      continue;
    }
    String(in, &key);
    do {
      c = in.Get();
    } while (IsWhitespace(c));
    if (c == JsonInput::kEnd) return;
    if (c != ':') continue;  // no member without a colon
    do {
      c = in.Get();
    } while (IsWhitespace(c));
    size_t firstPos = in.Position();
    if (c != JsonInput::kEnd) {
      in.PutBack();
      firstPos = in.Position();
    }
    // A repeated key reads into the existing member: the later value replaces the earlier.
    Value(object[key], in, depth);
    bool ended = false;
    if (SkipToSeparator(in, firstPos, c, '}', &ended) || ended) return;
  }
}

void JsonReader::Array(JsonValue& value, JsonInput& in, int depth) {
  JsonArray& array = *value.array_;
  for (int c = in.Get(); c != JsonInput::kEnd; c = in.Get()) {
    if (IsWhitespace(c)) continue;
    if (c == ']') return;
    in.PutBack();
    size_t firstPos = in.Position();
    array.emplace_back();
    array.back().SetUnset();
    Value(array.back(), in, depth);
    if (array.back().type() == JsonType::Unset) array.pop_back();
    bool ended = false;
    if (SkipToSeparator(in, firstPos, c, ']', &ended) || ended) return;
  }
}

// ---------------------------------------------------------------------------------------------
// JsonValue

JsonValue::JsonValue() = default;
JsonValue::~JsonValue() = default;

JsonValue::JsonValue(const JsonValue& other) { CopyFrom(other); }

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    JsonValue copy(other);  // `other` may live inside this value's tree
    *this = std::move(copy);
  }
  return *this;
}

JsonValue::JsonValue(JsonValue&& other) noexcept
    : type_(other.type_),
      string_(std::move(other.string_)),
      integer_(other.integer_),
      real_(other.real_),
      boolean_(other.boolean_),
      object_(std::move(other.object_)),
      array_(std::move(other.array_)) {
  other.Release();
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    JsonValue taken(std::move(other));
    Release();
    type_ = taken.type_;
    string_ = std::move(taken.string_);
    integer_ = taken.integer_;
    real_ = taken.real_;
    boolean_ = taken.boolean_;
    object_ = std::move(taken.object_);
    array_ = std::move(taken.array_);
    taken.type_ = JsonType::Null;
  }
  return *this;
}

void JsonValue::CopyFrom(const JsonValue& other) {
  type_ = other.type_ == JsonType::Unset ? JsonType::Null : other.type_;
  string_ = other.string_;
  integer_ = other.integer_;
  real_ = other.real_;
  boolean_ = other.boolean_;
  if (other.object_) object_ = std::make_unique<JsonObject>(*other.object_);
  if (other.array_) array_ = std::make_unique<JsonArray>(*other.array_);
}

void JsonValue::Release() {
  type_ = JsonType::Null;
  std::string().swap(string_);
  integer_ = 0;
  real_ = 0.0;
  boolean_ = false;
  object_.reset();
  array_.reset();
}

void JsonValue::SetString(std::string text) {
  if (type_ != JsonType::String) Release();
  type_ = JsonType::String;
  string_ = std::move(text);
}

void JsonValue::SetInteger(int64_t number) {
  if (type_ != JsonType::Integer) Release();
  type_ = JsonType::Integer;
  integer_ = number;
}

void JsonValue::SetReal(double number) {
  if (type_ != JsonType::Real) Release();
  type_ = JsonType::Real;
  real_ = number;
}

void JsonValue::SetObject(JsonObject object) {
  auto payload = std::make_unique<JsonObject>(std::move(object));  // may be our own child
  if (type_ != JsonType::Object) Release();
  type_ = JsonType::Object;
  object_ = std::move(payload);
}

void JsonValue::SetArray(JsonArray array) {
  auto payload = std::make_unique<JsonArray>(std::move(array));
  if (type_ != JsonType::Array) Release();
  type_ = JsonType::Array;
  array_ = std::move(payload);
}

void JsonValue::SetBoolean(bool flag) {
  if (type_ != JsonType::Boolean) Release();
  type_ = JsonType::Boolean;
  boolean_ = flag;
}

void JsonValue::SetNull() { Release(); }

void JsonValue::SetUnset() {
  Release();
  type_ = JsonType::Unset;
}

void JsonValue::Parse(JsonInput& in) { JsonReader::Value(*this, in, 0); }

void JsonValue::ParseText(const std::string& text) {
  JsonInput in(text);
  Parse(in);
}

const JsonObject& JsonValue::AsObject() const {
  return type_ == JsonType::Object && object_ ? *object_ : EmptyObject();
}
const std::string& JsonValue::AsString() const {
  return type_ == JsonType::String ? string_ : EmptyString();
}
const JsonArray& JsonValue::AsArray() const {
  return type_ == JsonType::Array && array_ ? *array_ : EmptyArray();
}
int64_t JsonValue::AsInteger() const { return type_ == JsonType::Integer ? integer_ : 0; }
double JsonValue::AsReal() const { return type_ == JsonType::Real ? real_ : 0.0; }
bool JsonValue::AsBoolean() const { return type_ == JsonType::Boolean && boolean_; }

}  // namespace verify
