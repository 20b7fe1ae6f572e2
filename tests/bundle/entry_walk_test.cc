// The one walk over the entry stream's records, fed plain records from memory: how each way a
// stream can end is told apart, and what the visitor is told on the way.
#include "bundle/entry_walk.h"

#include "support/byte_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bundle {
namespace {

std::string U32(uint32_t v) {
  return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

struct MemorySource {
  std::string bytes;
  size_t at = 0;
  bool Take(size_t n, char* out) {
    if (bytes.size() - at < n) return false;
    if (out != nullptr) bytes.copy(out, n, at);
    at += n;
    return true;
  }
  bool U32(uint32_t* v) {
    char b[4] = {};
    if (!Take(4, b)) return false;
    *v = support::LoadU32le(reinterpret_cast<const uint8_t*>(b));
    return true;
  }
  bool Name(std::string* name) { return Take(name->size(), name->data()); }
  bool ChunkData(uint32_t stored) { return Take(stored, nullptr); }
};

// Writes what it is told as text: "name:count" per entry, "stored/inflated" per chunk, "." at an
// entry's end; refuses chunks beyond 1 KiB.
struct LogVisitor {
  std::string log;
  void EntryStart() {}
  void Named(const std::string& name) { log += name; }
  bool Entry(const std::string&, uint32_t count) {
    log += ":" + std::to_string(count);
    return true;
  }
  bool Chunk(uint32_t, uint32_t stored, uint32_t inflated) {
    log += " " + std::to_string(stored) + "/" + std::to_string(inflated);
    return ChunkWithinLimits(stored, inflated, 1024);
  }
  bool EntryEnd() {
    log += ".";
    return true;
  }
};

std::string Entry(const std::string& name, std::vector<std::pair<uint32_t, uint32_t>> chunks) {
  std::string out = U32(name.size()) + name + U32(chunks.size());
  for (auto [stored, inflated] : chunks)
    out += U32(stored) + U32(inflated) + std::string(stored, 'z');
  return out;
}

TEST(EntryWalk, EveryEndIsToldApart) {
  const std::string two = Entry("a", {{3, 5}, {2, 2}}) + Entry("bc", {});
  struct Row {
    const char* what;
    std::string stream;
    WalkEnd end;
    const char* log;
  } rows[] = {
      {"terminated", two + U32(0), WalkEnd::kTerminator, "a:2 3/5 2/2.bc:0."},
      {"name length 255 is a name", Entry(std::string(255, 'n'), {}) + U32(0), WalkEnd::kTerminator,
       nullptr},
      {"name length 256 starts junk", two + U32(256) + "junk", WalkEnd::kNameLengthTooLarge,
       "a:2 3/5 2/2.bc:0."},
      {"nothing at all", "", WalkEnd::kShortNameLength, ""},
      {"ends in a name length", two + "\x01\x00", WalkEnd::kShortNameLength, "a:2 3/5 2/2.bc:0."},
      {"ends in a name", U32(4) + "ab", WalkEnd::kShortName, ""},
      {"ends in a chunk count", U32(1) + "x" + "\x01", WalkEnd::kShortChunks, "x"},
      {"ends in a chunk header", U32(1) + "x" + U32(1) + U32(3), WalkEnd::kShortChunks, "x:1"},
      {"ends in chunk data", Entry("x", {{3, 3}}).substr(0, 19), WalkEnd::kShortChunks, "x:1 3/3"},
      {"inflated beyond the limit", Entry("x", {{3, 1025}}) + U32(0), WalkEnd::kRefused,
       "x:1 3/1025"},
      {"stored beyond zlib's bound", Entry("x", {{1024 + 13 + 1, 1024}}) + U32(0),
       WalkEnd::kRefused, "x:1 1038/1024"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemorySource source{row.stream};
    LogVisitor visitor;
    EXPECT_EQ(WalkEntryStream(source, visitor), row.end);
    if (row.log != nullptr) {
      EXPECT_EQ(visitor.log, row.log);
    }
  }
}

// Extraction's use: a Named that returns bool stops the walk right after the name it looks for,
// and WalkEntryChunks then walks the rest of that entry's record alone.
struct StopAt : LogVisitor {
  std::string wanted;
  bool Named(const std::string& name) {
    LogVisitor::Named(name);
    return name != wanted;
  }
};

TEST(EntryWalk, StopsAfterANameThenWalksThatEntrysChunks) {
  MemorySource source{Entry("a", {{3, 5}}) + Entry("bc", {{2, 2}, {1, 1}}) + Entry("d", {})};
  StopAt visitor;
  visitor.wanted = "bc";
  EXPECT_EQ(WalkEntryStream(source, visitor), WalkEnd::kRefused);
  EXPECT_EQ(visitor.log, "a:1 3/5.bc");
  EXPECT_EQ(source.at, 4 + 1 + 4 + 8 + 3 + 4 + 2);  // at the chunk count of "bc"
  EXPECT_EQ(WalkEntryChunks(source, visitor, "bc"), std::nullopt);
  EXPECT_EQ(visitor.log, "a:1 3/5.bc:2 2/2 1/1.");
  MemorySource cut{Entry("x", {{3, 3}}).substr(4 + 1, 4 + 8 + 1)};
  EXPECT_EQ(WalkEntryChunks(cut, visitor, "x"), WalkEnd::kShortChunks);
}

}  // namespace
}  // namespace bundle
