// The key place: what the writer encodes, the reader gives back, and every field that states
// something else is refused by name.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/byte_reader.h"
#include "verify/key_place.h"

namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(KeyPlace, RoundTripsAndRefusesEveryFieldStatedWrongly) {
  const std::string root(verify::kRootKeyDerSize, 'r'), setup(verify::kSetupKeyDerSize, 's');
  const std::string filled = verify::EncodeKeyPlace(root, setup).value();
  auto keys = verify::ParseKeyPlace(Bytes(filled));
  ASSERT_TRUE(keys.ok()) << keys.error();
  EXPECT_TRUE(keys->filled);
  EXPECT_EQ(keys->root, root);
  EXPECT_EQ(keys->setup, setup);
  auto empty = verify::ParseKeyPlace(Bytes(verify::EncodeKeyPlace("", "").value()));
  ASSERT_TRUE(empty.ok()) << empty.error();
  EXPECT_FALSE(empty->filled);
  EXPECT_TRUE(empty->root.empty());

  auto set32 = [](size_t at, uint32_t v) {
    return [at, v](std::string& b) { support::StoreU32le(reinterpret_cast<uint8_t*>(&b[at]), v); };
  };
  struct Case {
    const char* name;
    std::function<void(std::string&)> change;
    const char* error;
  } cases[] = {
      {"marker", [](std::string& b) { b[3] ^= 1; }, "no marker"},
      {"marker version", [](std::string& b) { b[15] = 2; }, "no marker"},
      {"state", set32(verify::kKeyPlaceStateOffset, 2), "state 2 is neither"},
      {"root length", set32(verify::kKeyPlaceRootLengthOffset, 293), "root key length 293"},
      {"setup length", set32(verify::kKeyPlaceSetupLengthOffset, 0), "setup key length 0"},
      {"empty with lengths", set32(verify::kKeyPlaceStateOffset, 0), "empty, but it states"},
      {"short", [](std::string& b) { b.pop_back(); }, "1023 bytes, not 1024"},
  };
  for (const Case& c : cases) {
    std::string b = filled;
    c.change(b);
    auto parsed = verify::ParseKeyPlace(Bytes(b));
    ASSERT_FALSE(parsed.ok()) << c.name;
    EXPECT_NE(parsed.error().find(c.error), std::string::npos) << c.name << ": " << parsed.error();
  }
  EXPECT_FALSE(verify::EncodeKeyPlace(root.substr(1), setup).ok());
  EXPECT_FALSE(verify::EncodeKeyPlace(root, "").ok());
}

}  // namespace
