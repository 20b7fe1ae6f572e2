// Fuzzes the forgiving JSON reader: any bytes must read to some value without crashing, without
// unbounded recursion, and with copies equal in shape to the original.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "verify/json.h"

namespace {

// Counts nodes and depth; the reader never nests deeper than its limit.
size_t Walk(const verify::JsonValue& v, int depth) {
  if (depth > verify::kMaxJsonDepth + 1) std::abort();
  if (v.type() == verify::JsonType::Unset) std::abort();  // never left in a finished tree
  size_t n = 1;
  for (const verify::JsonValue& e : v.AsArray()) n += Walk(e, depth + 1);
  for (const auto& [key, member] : v.AsObject()) n += Walk(member, depth + 1);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::freopen("/dev/null", "w", stdout);  // the reader's diagnostics
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  verify::JsonValue root;
  root.ParseText(text);
  const size_t nodes = Walk(root, 0);
  verify::JsonValue copy = root;
  if (Walk(copy, 0) != nodes || copy.type() != root.type()) std::abort();
  // Objects keep their keys in ascending unsigned byte order.
  const verify::JsonObject& object = root.AsObject();
  const std::string* previous = nullptr;
  for (const auto& [key, member] : object) {
    if (previous != nullptr && !verify::JsonKeyLess()(*previous, key)) std::abort();
    previous = &key;
  }
  return 0;
}
