// The forgiving JSON reader that reads the setup program's signature document.
//
// It never rejects a document as a whole: it skips what it cannot use, writes a one-line
// diagnostic on standard output for most problems, and keeps whatever values it could read.
// It returns no error code and throws nothing of its own. The documents it reads are small and
// untrusted, so two limits keep it safe: every byte comes from a bounds-checked in-memory
// stream, and objects and arrays nest at most kMaxJsonDepth deep (deeper values are skipped
// rather than recursed into, so hostile input cannot exhaust the stack).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace verify {

enum class JsonType {
  String = 0,
  Integer = 1,
  Real = 2,
  Object = 3,
  Array = 4,
  Boolean = 5,
  Null = 6,
  Unset = 7,  // an array element for which nothing has been read yet
};

// Objects and arrays nested deeper than this are not read (one diagnostic line each).
constexpr int kMaxJsonDepth = 512;

// A byte stream over memory the caller keeps alive: take one byte, look at the next one
// without taking it, or put back the byte just taken.
class JsonInput {
 public:
  static constexpr int kEnd = -1;

  explicit JsonInput(std::string_view bytes) : bytes_(bytes) {}

  int Get() {
    if (pos_ >= bytes_.size()) return kEnd;
    return static_cast<unsigned char>(bytes_[pos_++]);
  }
  int Peek() const {
    if (pos_ >= bytes_.size()) return kEnd;
    return static_cast<unsigned char>(bytes_[pos_]);
  }
  // Only ever called after a Get() that returned a byte.
  void PutBack() {
    if (pos_ > 0) --pos_;
  }
  size_t Position() const { return pos_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

class JsonObject;
class JsonArray;

class JsonValue {
 public:
  JsonValue();  // Null
  ~JsonValue();
  // Copies are deep; an Unset value copies as Null.
  JsonValue(const JsonValue& other);
  JsonValue& operator=(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;  // leaves `other` Null
  JsonValue& operator=(JsonValue&& other) noexcept;

  JsonType type() const { return type_; }

  // Storing a payload of the value's own type replaces it in place; another type releases the
  // old payload first.
  void SetString(std::string text);
  void SetInteger(int64_t number);
  void SetReal(double number);
  void SetObject(JsonObject object);
  void SetArray(JsonArray array);
  void SetBoolean(bool flag);
  void SetNull();
  void SetUnset();

  // Reads one value from the stream's current position into this value; what follows the
  // value stays unread.
  void Parse(JsonInput& in);
  void ParseText(const std::string& text);

  // The payload when the type matches, else a shared empty object / string / array.
  const JsonObject& AsObject() const;
  const std::string& AsString() const;
  const JsonArray& AsArray() const;
  // The payload when the type matches, else 0 / 0.0 / false.
  int64_t AsInteger() const;
  double AsReal() const;
  bool AsBoolean() const;

 private:
  friend class JsonReader;
  void Release();
  void CopyFrom(const JsonValue& other);

  JsonType type_ = JsonType::Null;
  std::string string_;
  int64_t integer_ = 0;
  double real_ = 0.0;
  bool boolean_ = false;
  std::unique_ptr<JsonObject> object_;
  std::unique_ptr<JsonArray> array_;
};

// Keys in ascending order of their bytes read as unsigned values; a prefix comes first.
struct JsonKeyLess {
  bool operator()(const std::string& a, const std::string& b) const {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c < 0 || (c == 0 && a.size() < b.size());
  }
};

// Indexing with operator[] inserts a Null member when the key is absent.
class JsonObject : public std::map<std::string, JsonValue, JsonKeyLess> {
 public:
  using std::map<std::string, JsonValue, JsonKeyLess>::map;
};

class JsonArray : public std::vector<JsonValue> {
 public:
  using std::vector<JsonValue>::vector;
};

}  // namespace verify
