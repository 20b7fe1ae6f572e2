#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>

#include "bundle_fixture.h"
#include "script_line.h"
#include "support/workspace.h"

namespace bundle_test {
namespace {

using bundle::BundleReader;
using bundle::EntryHandle;

std::string ReadAll(BundleReader& reader, EntryHandle* h, std::mt19937& rng) {
  std::string out;
  char buffer[5000];
  for (;;) {
    size_t want = 1 + rng() % sizeof buffer;
    size_t got = reader.Read(buffer, 1, want, h);
    out.append(buffer, got);
    if (got < want) return out;
  }
}

// Writer to reader over random entries, chunk sizes and contents: OpenEntry/Read, ReadLine and
// ExtractEntry all give back the bytes that went in.
TEST(BundleRoundTrip, RandomEntriesChunkSizesAndContents) {
  std::mt19937 rng(1234);
  const uint32_t chunkSizes[] = {1, 7, 64, 1000, 4096, 65536, 300000};
  for (int round = 0; round < 14; ++round) {
    ztpack::BundleOptions options;
    options.chunkSize = chunkSizes[round % 7];
    options.junkLength = round % 3 == 0 ? rng() % 20000 : 0;
    options.compressionLevel = static_cast<int>(rng() % 10);
    std::vector<Entry> entries;
    int count = 1 + static_cast<int>(rng() % 10);
    size_t cap = options.chunkSize == 1 ? 300 : 3 * options.chunkSize + 100;
    for (int i = 0; i < count; ++i) {
      size_t size = rng() % 4 == 0 ? 0 : rng() % cap;
      entries.push_back(
          {"dir/entry" + std::to_string(i) + ".bin", RandomBytes(rng, size, rng() % 2)});
    }
    std::string path = TempPath("round" + std::to_string(round) + ".bnd");
    WriteBundle(path, entries, options);

    BundleReader reader;
    Configure(reader);
    ASSERT_TRUE(reader.Open(Wide(path))) << "round " << round;
    ASSERT_EQ(reader.Catalogue().size(), entries.size());
    for (const Entry& e : entries) {
      EntryHandle* h = reader.OpenEntry(e.name.c_str());
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(h->totalLength, e.data.size());
      EXPECT_EQ(ReadAll(reader, h, rng), e.data) << e.name << " round " << round;
      reader.CloseEntry(h);

      // ReadLine gives the content back with carriage returns dropped.
      h = reader.OpenEntry(e.name.c_str());
      std::string lines, expected;
      for (char c : e.data) {
        if (c != '\r') expected += c;
      }
      char line[64];
      while (reader.ReadLine(line, 1 + static_cast<int>(rng() % 63), h) != nullptr) lines += line;
      if (expected.find('\0') == std::string::npos) {
        EXPECT_EQ(lines, expected) << e.name;
      }
      reader.CloseEntry(h);

      std::string out = TempPath("extracted");
      ASSERT_TRUE(reader.ExtractEntry(Wide(out), e.name));
      EXPECT_EQ(ReadFile(out), e.data);
    }
    EXPECT_TRUE(reader.Close());
    EXPECT_FALSE(reader.Close());
  }
}

TEST(BundleRoundTrip, WriterOutputIsDeterministic) {
  std::vector<Entry> entries = {{"install_script", "a,b\n"}, {"x", std::string(100000, 'x')}};
  ztpack::BundleOptions options;
  options.chunkSize = 4096;
  options.junkLength = 100;
  EXPECT_EQ(WriteBundle(TempPath("det1"), entries, options),
            WriteBundle(TempPath("det2"), entries, options));
}

// The line rules (script_line.h), one table for both of their users: the pure split that
// ztpack checks and rewrites scripts with, and ReadLine over the entry in chunks of every size,
// uncached and then cached. A limit of L is a ReadLine buffer of L + 1 bytes.
struct LineCase {
  const char* name;
  std::string content;
  size_t limit;
  std::vector<std::string> pieces;
};

TEST(ScriptLines, SplitAndReadLineAgreeOnEveryEdge) {
  const std::string full(2047, 'a');
  const LineCase cases[] = {
      {"lf, crlf, cr alone, last line without lf", "a\nb\r\nc\rd", 2047, {"a\n", "b\n", "cd"}},
      {"empty script", "", 2047, {}},
      {"only crs: no empty last piece", "\r\r", 2047, {}},
      {"trailing cr", "a\r", 2047, {"a"}},
      {"empty lines", "\n\r\n\n", 2047, {"\n", "\n", "\n"}},
      {"blank and high bytes are kept", " \t\x80\xff,x \n", 2047, {" \t\x80\xff,x \n"}},
      {"zero bytes are kept", std::string("a\0b\n", 4), 2047, {std::string("a\0b\n", 4)}},
      {"limit - 1 with its lf", full.substr(1) + "\n", 2047, {full.substr(1) + "\n"}},
      {"limit exactly: the lf is a piece", full + "\nx", 2047, {full, "\n", "x"}},
      {"limit + 1: cut, the rest goes on", full + "bc\n", 2047, {full, "bc\n"}},
      {"at the limit, then the end", full, 2047, {full}},
      {"at the limit, then crs alone", full + "\r\r", 2047, {full}},
      {"over-long line in many pieces", "abcdefg\n", 3, {"abc", "def", "g\n"}},
      {"exact fit", "abc\n", 3, {"abc", "\n"}},
      {"one byte pieces", "ab\n", 1, {"a", "b", "\n"}},
      {"cr inside a full piece", "ab\rcd\n", 3, {"abc", "d\n"}},
      {"crs take no room", "\r\ra\r\rbc\r\n", 2, {"ab", "c\n"}},
      {"cr at a piece's edge", "ab\r\ncd\n", 2, {"ab", "\n", "cd", "\n"}},
  };
  for (const LineCase& c : cases) {
    std::vector<std::string> split;
    for (const auto& piece : installer::SplitScriptPieces(c.content, c.limit)) {
      EXPECT_EQ(c.content.substr(piece.begin, piece.end - piece.begin).find('\n'),
                piece.lineFeed ? piece.end - piece.begin - 1 : std::string::npos)
          << c.name;
      split.push_back(piece.text);
    }
    EXPECT_EQ(split, c.pieces) << c.name;
    // ReadLine's pieces are C strings: they are seen up to a zero byte.
    std::vector<std::string> asCStrings;
    for (const std::string& piece : c.pieces) asCStrings.emplace_back(installer::UsedPart(piece));

    for (uint32_t chunkSize : {1u, 3u, 4096u}) {
      ztpack::BundleOptions options;
      options.chunkSize = chunkSize;
      std::string path = TempPath("lines.bnd");
      WriteBundle(path, {{"install_script", c.content}}, options);
      BundleReader reader;
      Configure(reader);
      ASSERT_TRUE(reader.Open(Wide(path))) << c.name;
      EntryHandle* h = reader.OpenEntry("install_script");
      ASSERT_NE(h, nullptr) << c.name;
      std::vector<char> buffer(c.limit + 1);
      const int size = static_cast<int>(buffer.size());
      for (const char* pass : {"uncached", "cached"}) {
        h->readOffset = 0;
        std::vector<std::string> got;
        while (char* line = reader.ReadLine(buffer.data(), size, h)) {
          got.emplace_back(line);
          ASSERT_LT(got.size(), 5000u) << c.name;
        }
        EXPECT_EQ(got, asCStrings) << c.name << ", chunks of " << chunkSize << ", " << pass;
        EXPECT_EQ(reader.ReadLine(buffer.data(), size, h), nullptr) << c.name;
      }
    }
  }
}

class OpenBundle : public ::testing::Test {
 protected:
  void Write(const std::vector<Entry>& entries, uint32_t chunkSize = 4096) {
    ztpack::BundleOptions options;
    options.chunkSize = chunkSize;
    path_ = TempPath(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                     ".bnd");
    WriteBundle(path_, entries, options);
    Configure(reader_);
    ASSERT_TRUE(reader_.Open(Wide(path_)));
  }
  std::string path_;
  BundleReader reader_;
};

TEST_F(OpenBundle, ReadPastTheEndCopiesWhatIsLeft) {
  Write({{"e", "0123456789"}}, 4);
  EntryHandle* h = reader_.OpenEntry("e");
  h->readOffset = h->totalLength - 3;
  char buffer[10];
  EXPECT_EQ(reader_.Read(buffer, 1, 10, h), 3u);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_EQ(reader_.Read(buffer, 1, 10, h), 0u);
  // Whole items only: 4 bytes left, items of 3 -> one item counted, all four copied.
  h->readOffset = 6;
  EXPECT_EQ(reader_.Read(buffer, 3, 3, h), 1u);
  EXPECT_EQ(h->readOffset, 10u);
}

TEST_F(OpenBundle, CacheKeepsTheTenNewestChunks) {
  std::string content;
  for (int i = 0; i < 12; ++i) content += std::string(100, static_cast<char>('a' + i));
  Write({{"e", content}}, 100);
  EntryHandle* h = reader_.OpenEntry("e");
  ASSERT_EQ(h->chunks.size(), 12u);
  char c;
  for (int i = 0; i < 12; ++i) {
    h->readOffset = static_cast<uint64_t>(i) * 100 + 50;
    ASSERT_EQ(reader_.Read(&c, 1, 1, h), 1u);
    EXPECT_EQ(c, 'a' + i);
    EXPECT_LE(h->cache.size(), 10u);
  }
  std::vector<size_t> cached;
  for (const auto& item : h->cache) cached.push_back(item.index);
  EXPECT_EQ(cached, (std::vector<size_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  // Chunk 0 again: reloaded, and the oldest (2) is dropped.
  h->readOffset = 0;
  ASSERT_EQ(reader_.Read(&c, 1, 1, h), 1u);
  EXPECT_EQ(c, 'a');
  EXPECT_EQ(h->cache.front().index, 3u);
  EXPECT_EQ(h->cache.back().index, 0u);
}

TEST_F(OpenBundle, CloseEntryRestoresPositionAndKeyState) {
  std::mt19937 rng(3);
  Write({{"a", RandomBytes(rng, 20000, false)}, {"b", std::string(9000, 'b')}}, 1000);
  const int64_t startPosition = reader_.StreamPosition();
  const bundle::KeyStreamState startState = reader_.CurrentKeyState();
  EXPECT_EQ(startPosition, 25);
  EntryHandle* first = reader_.OpenEntry("a");
  char buffer[3000];
  ASSERT_EQ(reader_.Read(buffer, 1, sizeof buffer, first), sizeof buffer);  // moves the stream
  const int64_t movedPosition = reader_.StreamPosition();
  const bundle::KeyStreamState movedState = reader_.CurrentKeyState();
  ASSERT_NE(movedPosition, startPosition);
  ASSERT_NE(movedState, startState);

  EntryHandle* second = reader_.OpenEntry("b");
  ASSERT_EQ(reader_.Read(buffer, 1, 5000 % sizeof buffer, second), 2000u);
  EXPECT_NE(reader_.StreamPosition(), movedPosition);
  reader_.CloseEntry(second);
  EXPECT_EQ(reader_.StreamPosition(), movedPosition);
  EXPECT_EQ(reader_.CurrentKeyState(), movedState);
  reader_.CloseEntry(first);
  EXPECT_EQ(reader_.StreamPosition(), startPosition);
  EXPECT_EQ(reader_.CurrentKeyState(), startState);
  EXPECT_EQ(reader_.OpenHandleCount(), 0u);
}

TEST_F(OpenBundle, SameNameTwiceFindsTheFirst) {
  Write({{"dup", "first"}, {"other", "x"}, {"dup", "second"}});
  EntryHandle* h = reader_.OpenEntry("dup");
  char buffer[16];
  ASSERT_EQ(reader_.Read(buffer, 1, sizeof buffer, h), 5u);
  EXPECT_EQ(std::string(buffer, 5), "first");
  std::string out = TempPath("dup.out");
  ASSERT_TRUE(reader_.ExtractEntry(Wide(out), "dup"));
  EXPECT_EQ(ReadFile(out), "first");
}

TEST_F(OpenBundle, NamesAreCaseSensitive) {
  Write({{"Install_Script", "x"}});
  EXPECT_EQ(reader_.OpenEntry("install_script"), nullptr);
  std::string out = TempPath("case.out");
  std::filesystem::remove(out);
  EXPECT_FALSE(reader_.ExtractEntry(Wide(out), "install_script"));
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(OpenBundle, EmptyEntry) {
  Write({{"empty", ""}});
  EntryHandle* h = reader_.OpenEntry("empty");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->totalLength, 0u);
  char line[16];
  EXPECT_EQ(reader_.ReadLine(line, sizeof line, h), nullptr);
  std::string out = TempPath("empty.out");
  WriteFile(out, "old content");
  ASSERT_TRUE(reader_.ExtractEntry(Wide(out), "empty"));
  EXPECT_EQ(ReadFile(out), "");
}

TEST_F(OpenBundle, OpenHandleListIsCappedAt32) {
  Write({{"e", "x"}});
  std::vector<EntryHandle*> handles;
  for (int i = 0; i < 32; ++i) {
    handles.push_back(reader_.OpenEntry("e"));
    ASSERT_NE(handles.back(), nullptr) << i;
  }
  EXPECT_EQ(reader_.OpenEntry("e"), nullptr);
  reader_.CloseEntry(handles[5]);
  EXPECT_NE(reader_.OpenEntry("e"), nullptr);
  EXPECT_TRUE(reader_.Close());  // frees the 32 still open
  EXPECT_EQ(reader_.OpenHandleCount(), 0u);
}

TEST_F(OpenBundle, EntriesPastTheCatalogueAreExtractedButNotCatalogued) {
  std::vector<Entry> entries;
  for (int i = 0; i < 300; ++i)
    entries.push_back({"e" + std::to_string(i), "content " + std::to_string(i)});
  Write(entries);
  EXPECT_EQ(reader_.Catalogue().size(), 256u);
  EXPECT_NE(reader_.OpenEntry("e255"), nullptr);
  EXPECT_EQ(reader_.OpenEntry("e256"), nullptr);
  std::string out = TempPath("e299.out");
  ASSERT_TRUE(reader_.ExtractEntry(Wide(out), "e299"));
  EXPECT_EQ(ReadFile(out), "content 299");
  EXPECT_FALSE(reader_.ExtractEntry(Wide(out), "e300"));
}

TEST(BundleReader, NothingWorksWhenNotOpen) {
  BundleReader reader;
  EXPECT_EQ(reader.OpenEntry("install_script"), nullptr);
  EXPECT_FALSE(reader.ExtractEntry(Wide(TempPath("never")), "install_script"));
  EXPECT_FALSE(reader.Close());
  EXPECT_FALSE(std::filesystem::exists(TempPath("never")));
}

TEST(BundleReader, MissingFileIsTraced) {
  TraceCapture trace;
  BundleReader reader;
  std::string path = TempPath("does-not-exist.bnd");
  EXPECT_FALSE(reader.Open(Wide(path)));
  EXPECT_EQ(trace.lines(), std::vector<std::string>{"Couldn't open file " + path + "!\n"});
}

// Chunks written raw, for faults the normal writer never makes.
struct RawChunk {
  std::string stored;
  uint32_t inflated;
};
std::string WriteRaw(const std::string& name,
                     const std::vector<std::pair<std::string, std::vector<RawChunk>>>& entries) {
  ztpack::BundleWriter writer;
  std::string path = TempPath(name);
  EXPECT_TRUE(writer.Begin(path, TestKeys::Get().bundle, Certificate(), {}).ok());
  for (const auto& [entryName, chunks] : entries) {
    EXPECT_TRUE(writer.BeginEntry(entryName, static_cast<uint32_t>(chunks.size())).ok());
    for (const RawChunk& c : chunks) EXPECT_TRUE(writer.WriteChunk(c.stored, c.inflated).ok());
  }
  EXPECT_TRUE(writer.Finish().ok());
  return path;
}

TEST(BundleReader, ExtractionFailingAtSecondChunkLeavesNoFile) {
  std::string path =
      WriteRaw("badsecond.bnd", {{"e", {{ZlibCompress("good"), 4}, {"not zlib", 10}}}});
  BundleReader reader;
  Configure(reader);
  ASSERT_TRUE(reader.Open(Wide(path)));
  std::string out = TempPath("badsecond.out");
  EXPECT_FALSE(reader.ExtractEntry(Wide(out), "e"));
  EXPECT_FALSE(std::filesystem::exists(out));
  EntryHandle* h = reader.OpenEntry("e");
  char buffer[20];
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(reader.Read(buffer, 1, 4, h), 4u);
  EXPECT_EQ(reader.Read(buffer, 1, 10, h), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "?!!!\n");
  EXPECT_EQ(h->readOffset, 4u);  // a failed Read leaves the offset alone
}

// Files of several chunks are inflated on two threads at once (chunks handed to the writer's
// thread and kept here). Whichever thread meets a bad chunk, the extraction fails and leaves no
// file; a chunk that inflates short anywhere gives its bytes and the file goes on after them;
// and the extraction after a failure is whole.
TEST(BundleReader, ManyChunkFilesWithAFaultAnywhere) {
  std::mt19937 rng(11);
  const size_t kChunks = 9;
  std::vector<std::string> plain;
  for (size_t i = 0; i < kChunks; ++i)
    plain.push_back(RandomBytes(rng, 200000 + rng() % 100000, i % 2));
  std::string whole;
  for (const std::string& p : plain) whole += p;
  for (size_t bad = 0; bad < kChunks; ++bad) {
    for (const bool shortChunk : {false, true}) {
      std::vector<RawChunk> chunks, good;
      std::string expected;
      for (size_t i = 0; i < kChunks; ++i) {
        good.push_back({ZlibCompress(plain[i]), static_cast<uint32_t>(plain[i].size())});
        if (i != bad) {
          chunks.push_back(good.back());
          expected += plain[i];
        } else if (shortChunk) {
          chunks.push_back({ZlibCompress("short"), static_cast<uint32_t>(plain[i].size())});
          expected += "short";
        } else {
          std::string damaged = good.back().stored;
          damaged.resize(damaged.size() / 2);
          chunks.push_back({damaged, good.back().inflated});
        }
      }
      const std::string label = "chunk " + std::to_string(bad) + (shortChunk ? " short" : " bad");
      std::string path = WriteRaw("faults.bnd", {{"e", chunks}, {"good", good}});
      BundleReader reader;
      Configure(reader);
      ASSERT_TRUE(reader.Open(Wide(path))) << label;
      const std::string out = TempPath("faults.out");
      for (int twice = 0; twice < 2; ++twice) {
        if (shortChunk) {
          ASSERT_TRUE(reader.ExtractEntry(Wide(out), "e")) << label;
          EXPECT_EQ(ReadFile(out), expected) << label;
        } else {
          EXPECT_FALSE(reader.ExtractEntry(Wide(out), "e")) << label;
          EXPECT_FALSE(std::filesystem::exists(out)) << label;
        }
        ASSERT_TRUE(reader.ExtractEntry(Wide(out), "good")) << label;
        EXPECT_EQ(ReadFile(out), whole) << label;
      }
    }
  }
}

// A chunk that states more inflated bytes than it holds: Read must not serve the bytes that no
// inflation wrote; extraction writes the bytes inflated.
TEST(BundleReader, ShortInflationFailsTheReadNotTheExtraction) {
  std::string path = WriteRaw("short.bnd", {{"e", {{ZlibCompress("12345"), 100}}}});
  BundleReader reader;
  Configure(reader);
  ASSERT_TRUE(reader.Open(Wide(path)));
  EntryHandle* h = reader.OpenEntry("e");
  ASSERT_EQ(h->totalLength, 100u);
  char buffer[100];
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(reader.Read(buffer, 1, 100, h), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "?!!!\n");
  std::string out = TempPath("short.out");
  ASSERT_TRUE(reader.ExtractEntry(Wide(out), "e"));
  EXPECT_EQ(ReadFile(out), "12345");
}

// Files are created and written on the writer's thread; its failures still decide the result.
// A target that cannot be created is left as it was; a file whose writing fails part way is
// removed; and the next extraction is not affected by the failure before it.
TEST(BundleReader, ExtractionTargetsThatCannotBeWritten) {
  std::mt19937 rng(5);
  const std::string big = RandomBytes(rng, 3u << 20, true);
  ztpack::BundleOptions options;
  options.chunkSize = 1u << 20;
  std::string path = TempPath("targets.bnd");
  WriteBundle(path, {{"big", big}, {"small", "small content"}}, options);
  BundleReader reader;
  Configure(reader);
  ASSERT_TRUE(reader.Open(Wide(path)));

  const std::string directory = TempPath("target-is-a-directory");
  std::filesystem::create_directories(directory);
  EXPECT_FALSE(reader.ExtractEntry(Wide(directory), "big"));
  EXPECT_TRUE(std::filesystem::is_directory(directory));

  const std::string missing = TempPath("no-such-directory") + "/file";
  EXPECT_FALSE(reader.ExtractEntry(Wide(missing), "small"));
  EXPECT_FALSE(std::filesystem::exists(missing));

  // A file size limit makes the writes fail after 200 KiB (with the signal ignored, write
  // reports the error instead).
  const std::string limited = TempPath("limited.out");
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limit = saved;
  limit.rlim_cur = 200 << 10;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool extracted = reader.ExtractEntry(Wide(limited), "big");
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(extracted);
  EXPECT_FALSE(std::filesystem::exists(limited));

  const std::string out = TempPath("after-failures.out");
  ASSERT_TRUE(reader.ExtractEntry(Wide(out), "small"));
  EXPECT_EQ(ReadFile(out), "small content");
  ASSERT_TRUE(reader.ExtractEntry(Wide(out), "big"));
  EXPECT_EQ(ReadFile(out), big);
}

// Everything below `dir`: "path" -> content for files, "path/" -> "" for directories.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string name = std::filesystem::relative(it->path(), dir).string();
    if (it->is_directory()) {
      tree[name + "/"] = "";
    } else {
      tree[name] = ReadFile(it->path().string());
    }
  }
  return tree;
}

// The batch extraction leaves what ExtractEntry with CreateParentDirectories leaves, one after
// the other, stopping at the first failure, whatever fails where: a missing entry, a damaged
// small file or chunk of a large one, a target that is a directory, a parent that is a file.
// The counts it reports grow and end at its result.
TEST(BundleReader, BatchExtractionLeavesWhatOneByOneLeaves) {
  std::mt19937 rng(21);
  std::vector<std::string> big;
  for (int i = 0; i < 3; ++i) big.push_back(RandomBytes(rng, 300000, i == 1));
  std::vector<RawChunk> multi, badMulti;
  for (const std::string& b : big) multi.push_back({ZlibCompress(b), 300000});
  badMulti = multi;
  badMulti[1].stored.resize(badMulti[1].stored.size() / 2);
  std::vector<std::pair<std::string, std::vector<RawChunk>>> entries = {
      {"multi", multi},
      {"bad-multi", badMulti},
      {"empty", {}},
      {"bad-small", {{"not zlib", 10}}},
      {"short", {{ZlibCompress("short"), 100}}},
      {"nothing", {{ZlibCompress(""), 0}}},
  };
  for (int i = 0; i < 40; ++i) {
    std::string text = RandomBytes(rng, rng() % 5000, i % 2);
    entries.push_back(
        {"s" + std::to_string(i), {{ZlibCompress(text), static_cast<uint32_t>(text.size())}}});
  }
  const std::string path = WriteRaw("batch.bnd", entries);
  BundleReader reader;
  Configure(reader);
  ASSERT_TRUE(reader.Open(Wide(path)));

  using Step = std::pair<std::string, std::string>;  // entry, target below the base
  std::vector<Step> good;
  for (int i = 0; i < 40; ++i) {
    good.push_back(
        {"s" + std::to_string(i), "d" + std::to_string(i % 3) + "\\sub\\s" + std::to_string(i)});
  }
  good.insert(good.begin() + 5, {"multi", "m\\multi"});
  good.insert(good.begin() + 9, {"empty", "empty"});
  good.insert(good.begin() + 12, {"short", "d1\\short"});
  good.insert(good.begin() + 15, {"nothing", "nothing"});
  good.push_back({"s3", "d0\\sub\\s0"});  // the same target again: written over
  const std::vector<Step> faults = {{"absent", "absent"},     {"bad-small", "d1\\bad"},
                                    {"bad-multi", "d2\\bad"}, {"s1", "d0"},
                                    {"s1", "d1\\sub\\s1\\x"}, {"multi", "d2\\sub\\s2\\m"}};
  struct Run {
    size_t result;
    std::map<std::string, std::string> tree;
  };
  int round = 0;
  for (size_t at : {size_t{0}, size_t{7}, size_t{30}, good.size()}) {
    for (const Step& fault : faults) {
      std::vector<Step> steps = good;
      steps.insert(steps.begin() + static_cast<long>(at), fault);
      const std::string label = fault.first + " -> " + fault.second + " at " + std::to_string(at);

      const std::string one = TempPath("batch-one-" + std::to_string(round));
      std::filesystem::create_directories(one);
      Run expected{steps.size(), {}};
      for (size_t i = 0; i < steps.size(); ++i) {
        std::u16string target = Wide(one) + u"\\" + Wide(steps[i].second);
        support::CreateParentDirectories(target);
        if (!reader.ExtractEntry(target, steps[i].first)) {
          expected.result = i;
          break;
        }
      }
      expected.tree = Tree(one);

      const std::string batch = TempPath("batch-all-" + std::to_string(round++));
      std::filesystem::create_directories(batch);
      std::vector<BundleReader::Extraction> list;
      for (const Step& step : steps)
        list.push_back({Wide(batch) + u"\\" + Wide(step.second), step.first});
      std::vector<size_t> counts;
      size_t result = reader.ExtractEntries(list, [&](size_t count) { counts.push_back(count); });
      EXPECT_EQ(result, expected.result) << label;
      EXPECT_EQ(Tree(batch), expected.tree) << label;
      EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end())) << label;
      if (result > 0) {
        ASSERT_FALSE(counts.empty()) << label;
        EXPECT_EQ(counts.back(), result) << label;
      }
    }
  }
}

}  // namespace
}  // namespace bundle_test
