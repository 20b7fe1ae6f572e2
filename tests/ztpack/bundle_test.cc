#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "bundle/bundle_fixture.h"
#include "read/bundle_description.h"
#include "testutil/process.h"

namespace bundle_test {
namespace {

TEST(SafeRelativePath, Cases) {
  struct Case {
    const char* name;
    const char* expected;  // null: refused
  };
  const Case cases[] = {
      {"a.txt", "a.txt"},
      {"dir/sub/a.txt", "dir/sub/a.txt"},
      {"dir\\sub\\a.txt", "dir/sub/a.txt"},
      {"..", nullptr},
      {"../evil", nullptr},
      {"a/../../evil", nullptr},
      {"a\\..\\..\\evil", nullptr},
      {"/etc/passwd", nullptr},
      {"\\windows\\x", nullptr},
      {"\\\\server\\share\\x", nullptr},
      {"C:\\x", nullptr},
      {"C:x", nullptr},
      {"file.txt:stream", nullptr},
      {"a//b", nullptr},
      {"a/./b", nullptr},
      {"a/", nullptr},
      {"...", nullptr},
      {".. ", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    auto r = ztpack::SafeRelativePath(c.name);
    if (c.expected == nullptr) {
      EXPECT_FALSE(r.ok()) << c.name;
    } else {
      ASSERT_TRUE(r.ok()) << c.name << ": " << r.error();
      EXPECT_EQ(*r, c.expected);
    }
  }
  EXPECT_FALSE(ztpack::SafeRelativePath(std::string("a\0b", 3)).ok());
}

class ZtpackCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const TestKeys& k = TestKeys::Get();
    dir_ = TempPath("cli");
    std::filesystem::create_directories(dir_ + "/in/sub");
    WriteFile(dir_ + "/root.key", ztpack::PrivateKeyPem(k.root));
    WriteFile(dir_ + "/root.der", k.rootDer);
    WriteFile(dir_ + "/other.der", k.otherRootDer);
    WriteFile(dir_ + "/bundle.key", ztpack::PrivateKeyPem(k.bundle));
    WriteFile(dir_ + "/bundle.pem", ztpack::PublicKeyPem(ztpack::RsaPublicKey(k.bundle)));
    WriteFile(dir_ + "/script", "x86,gui,sub/b.bin,b.bin\n");
    std::mt19937 rng(5);
    WriteFile(dir_ + "/in/sub/b.bin", RandomBytes(rng, 250000, false));
    WriteFile(dir_ + "/in/a.txt", "alpha");
  }
  // Runs ztpack and keeps what it wrote in cli_; returns its exit code.
  int RunZtpack(const std::string& args) {
    cli_ = testutil::RunZtpack(args);
    return cli_.exitCode;
  }
  std::string dir_;
  testutil::RunResult cli_;
};

TEST_F(ZtpackCli, CertifyBundleInspectExtract) {
  const std::string d = dir_;
  ASSERT_EQ(RunZtpack("certify --root-key " + d + "/root.key --public " + d +
                      "/bundle.pem --goal IBND "
                      "--expiry 2001-02-03 --out " +
                      d + "/cert"),
            0)
      << cli_.output();
  ASSERT_EQ(RunZtpack("bundle --script " + d + "/script --dir " + d + "/in --key " + d +
                      "/bundle.key --cert " + d + "/cert --chunk-size 65536 --junk 5000 --out " +
                      d + "/b.bnd"),
            0)
      << cli_.output();

  ::setenv("ZTPACK_ROOT_KEY", (d + "/root.der").c_str(), 1);
  ASSERT_EQ(RunZtpack("inspect --json " + d + "/b.bnd"), 0) << cli_.output();
  ::unsetenv("ZTPACK_ROOT_KEY");
  auto report = nlohmann::json::parse(cli_.out, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << cli_.output();
  const auto& b = report["bundle"];
  EXPECT_EQ(b["goal"], "IBND");
  EXPECT_EQ(b["expiry"], 981158400u);
  EXPECT_EQ(b["root_signature"], "valid");
  EXPECT_EQ(b["bundle_signature"], "valid");
  EXPECT_EQ(b["checksum"], "valid");
  EXPECT_EQ(b["junk"], 5000u);
  ASSERT_EQ(b["entries"].size(), 3u);
  EXPECT_EQ(b["entries"][2]["name"], "sub/b.bin");
  EXPECT_EQ(b["entries"][2]["chunks"].size(), 4u);

  ASSERT_EQ(RunZtpack("extract " + d + "/b.bnd --out " + d + "/out --root-key " + d + "/root.der"),
            0)
      << cli_.output();
  EXPECT_EQ(ReadFile(d + "/out/sub/b.bin"), ReadFile(d + "/in/sub/b.bin"));
  EXPECT_EQ(ReadFile(d + "/out/a.txt"), "alpha");
  EXPECT_EQ(ReadFile(d + "/out/install_script"), ReadFile(d + "/script"));

  // Against another root: refused with the reader's trace, nothing written.
  EXPECT_EQ(
      RunZtpack("extract " + d + "/b.bnd --out " + d + "/out2 --root-key " + d + "/other.der"), 1);
  EXPECT_NE(cli_.output().find("Public key sign is not valid"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(d + "/out2/a.txt"));
}

TEST_F(ZtpackCli, ExtractRefusesNamesThatLeaveTheDirectory) {
  std::string path = dir_ + "/evil.bnd";
  WriteBundle(path, {{"install_script", "x"}, {"ok.txt", "fine"}, {"../escaped.txt", "bad"}});
  EXPECT_EQ(
      RunZtpack("extract " + path + " --out " + dir_ + "/evil --root-key " + dir_ + "/root.der"),
      1);
  EXPECT_NE(cli_.output().find("climbs out"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/escaped.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/evil/ok.txt"));  // refused before writing
  // Naming only the safe entry works.
  EXPECT_EQ(RunZtpack("extract " + path + " --out " + dir_ + "/evil --root-key " + dir_ +
                      "/root.der ok.txt"),
            0);
  EXPECT_EQ(ReadFile(dir_ + "/evil/ok.txt"), "fine");
}

TEST_F(ZtpackCli, ErrorsAreClearAndLeaveNoOutput) {
  const std::string d = dir_;
  struct Case {
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {"certify --root-key " + d + "/missing.key --public " + d + "/bundle.pem --goal IBND --out " +
           d + "/c1",
       "missing.key: cannot open"},
      {"certify --root-key " + d + "/root.key --public " + d + "/bundle.pem --goal IBN --out " + d +
           "/c1",
       "not exactly 4 characters"},
      {"certify --root-key " + d + "/root.key --public " + d +
           "/bundle.pem --goal IBND --expiry soon --out " + d + "/c1",
       "neither seconds"},
      {"bundle --script " + d + "/script --key " + d + "/bundle.key --cert " + d +
           "/script --out " + d + "/c1",
       "public key block"},
      {"bundle --script " + d + "/script --entry nopath --key " + d + "/bundle.key --cert " + d +
           "/script --out " + d + "/c1",
       "is not NAME=PATH"},
      {"bundle --script " + d + "/script --key " + d + "/bundle.key --cert " + d +
           "/script --chunk-size 26214401 --out " + d + "/c1",
       "chunk-size"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(RunZtpack(c.args), 0) << c.args;
    EXPECT_NE(cli_.output().find(c.message), std::string::npos) << c.args << "\n" << cli_.output();
    EXPECT_FALSE(std::filesystem::exists(d + "/c1")) << c.args;
  }
}

// The installer refuses a bundle whose first 256 entries hold more than 2^19 chunks; the writer
// must refuse exactly what the reader refuses, and write everything up to the limit.
TEST(ChunkLimit, WriterAndReaderDrawTheSameLine) {
  const std::string chunk = ZlibCompress("x");
  for (size_t extra : {size_t{0}, size_t{1}}) {
    // Written raw: the script and one entry that together reach the limit, or pass it by one.
    const std::string path = TempPath("limit" + std::to_string(extra) + ".bnd");
    {
      ztpack::BundleWriter raw;
      ASSERT_TRUE(raw.Begin(path, TestKeys::Get().bundle, Certificate(), {}).ok());
      ASSERT_TRUE(raw.BeginEntry("install_script", 1).ok());
      ASSERT_TRUE(raw.WriteChunk(chunk, 1).ok());
      const size_t n = bundle::kMaxCataloguedChunks - 1 + extra;
      ASSERT_TRUE(raw.BeginEntry("e", static_cast<uint32_t>(n)).ok());
      for (size_t i = 0; i < n; ++i) ASSERT_TRUE(raw.WriteChunk(chunk, 1).ok());
      ASSERT_TRUE(raw.Finish().ok());
    }
    bundle::BundleReader reader;
    Configure(reader);
    EXPECT_EQ(reader.Open(Wide(path)), extra == 0) << extra;
    reader.Close();

    // The same shape through the writer's entry point, in chunks of one byte.
    ztpack::BundleOptions options;
    options.chunkSize = 1;
    const std::string out = TempPath("limit-written" + std::to_string(extra) + ".bnd");
    std::vector<ztpack::BundleInput> inputs = {
        {"install_script", "", std::string("x")},
        {"e", "", std::string(bundle::kMaxCataloguedChunks - 1 + extra, 'x')}};
    if (extra == 0) continue;  // writing half a million chunks for real adds nothing here
    auto status = ztpack::WriteBundle(out, inputs, TestKeys::Get().bundle, Certificate(), options);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().find("first 256 entries to 524289, more than the 524288 (2^19) the "
                                  "installer accepts; use a larger --chunk-size than 1"),
              std::string::npos)
        << status.error();
    EXPECT_FALSE(std::filesystem::exists(out));
    // The writer's own entry points refuse too, before writing the entry.
    ztpack::BundleWriter counted;
    ASSERT_TRUE(counted.Begin(out, TestKeys::Get().bundle, Certificate(), options).ok());
    ASSERT_TRUE(counted.AddData("install_script", "x").ok());
    auto refused = counted.AddData("e", inputs[1].data.value());
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(counted.contentDone(), 1u);
  }
}

// The bundle is the same whatever the number of compressing threads, and the same as the
// one-chunk-at-a-time writer gives: small files sharing a job, a job of more items than one takes,
// chunks that straddle job edges, an empty file, content from files and from memory.
TEST(ParallelPacking, SameBytesWhateverTheThreads) {
  std::mt19937 rng(12);
  const std::string dir = TempPath("parallel");
  std::filesystem::create_directories(dir);
  std::vector<ztpack::BundleInput> inputs = {{"install_script", "", std::string("dep-gui,a,a\n")}};
  for (int i = 0; i < 5000; ++i) {
    inputs.push_back({"small/" + std::to_string(i), "", RandomBytes(rng, rng() % 300, i % 2 == 0)});
  }
  const size_t sizes[] = {0, 1, 299999, 300000, 300001, 1700000};
  for (size_t size : sizes) {
    const std::string path = dir + "/f" + std::to_string(size);
    WriteFile(path, RandomBytes(rng, size, size % 2 == 0) + RandomBytes(rng, size / 3, true));
    inputs.push_back({"file/" + std::to_string(size), path, std::nullopt});
  }
  inputs.push_back({"memory", "", RandomBytes(rng, 900000, true)});

  ztpack::BundleOptions options;
  options.chunkSize = 300000;
  const TestKeys& k = TestKeys::Get();
  {
    ztpack::BundleWriter writer;
    ASSERT_TRUE(writer.Begin(dir + "/reference", k.bundle, Certificate(), options).ok());
    for (const auto& in : inputs) {
      auto s = in.data ? writer.AddData(in.name, *in.data) : writer.AddFile(in.name, in.path);
      ASSERT_TRUE(s.ok()) << s.error();
    }
    ASSERT_TRUE(writer.Finish().ok());
  }
  const std::string reference = ReadFile(dir + "/reference");
  for (unsigned threads : {1u, 2u, 5u}) {
    options.threads = threads;
    const std::string out = dir + "/threads" + std::to_string(threads);
    auto s = ztpack::WriteBundle(out, inputs, k.bundle, Certificate(), options);
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_TRUE(ReadFile(out) == reference) << threads << " threads";
  }
}

// Every level gives zlib streams that zlib's uncompress() restores exactly, no longer than
// zlib's own bound, across empty, tiny, stored-block-sized and incompressible chunks; levels
// outside 0..12 are refused before anything is written.
TEST(ChunkDeflater, EveryLevelRoundTripsThroughZlibWithinItsBound) {
  std::mt19937 rng(7);
  std::vector<std::string> chunks;
  for (size_t size : {0, 1, 2, 100, 65535, 65536, 65537, 300000}) {
    chunks.push_back(RandomBytes(rng, size, false));
    chunks.push_back(RandomBytes(rng, size, true));
  }
  for (int level = 0; level <= ztpack::kMaxCompressionLevel; ++level) {
    ztpack::ChunkDeflater deflater(level);
    for (const std::string& chunk : chunks) {
      std::vector<uint8_t> stored(ztpack::ChunkDeflater::Bound(chunk.size()));
      auto n = deflater.Deflate(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(),
                                stored.data());
      ASSERT_TRUE(n.ok()) << n.error();
      EXPECT_LE(*n, compressBound(chunk.size())) << level << " " << chunk.size();
      std::string back(chunk.size() + 1, '\0');
      uLongf backLength = back.size();
      ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(back.data()), &backLength, stored.data(), *n),
                Z_OK)
          << level << " " << chunk.size();
      EXPECT_TRUE(back.substr(0, backLength) == chunk) << level << " " << chunk.size();
    }
  }
  EXPECT_FALSE(ztpack::ChunkDeflater(13).Deflate(nullptr, 0, nullptr).ok());
  ztpack::BundleOptions options;
  options.compressionLevel = 13;
  ztpack::BundleWriter writer;
  const std::string out = TempPath("level13");
  EXPECT_FALSE(writer.Begin(out, TestKeys::Get().bundle, Certificate(), options).ok());
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(ParallelPacking, AFileThatCannotBeReadLeavesNoOutput) {
  const std::string dir = TempPath("parallel-fail");
  std::filesystem::create_directories(dir);
  WriteFile(dir + "/a", std::string(5000, 'a'));
  for (unsigned threads : {1u, 3u}) {
    ztpack::BundleOptions options;
    options.threads = threads;
    std::vector<ztpack::BundleInput> inputs = {{"install_script", "", std::string("x")},
                                               {"a", dir + "/a", std::nullopt},
                                               {"gone", dir + "/missing", std::nullopt}};
    auto s =
        ztpack::WriteBundle(dir + "/out", inputs, TestKeys::Get().bundle, Certificate(), options);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.error().find("entry \"gone\": cannot open " + dir + "/missing"), std::string::npos)
        << s.error();
    // Neither the output nor its temporary sibling is left.
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      files += e.path().filename() != "a";
    EXPECT_EQ(files, 0u);
  }
}

}  // namespace
}  // namespace bundle_test
