#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "bundle_fixture.h"
#include "support/byte_reader.h"

namespace bundle_test {
namespace {

using bundle::BundleReader;
using Lines = std::vector<std::string>;

const Lines kStart = {"Validating checksum\n", "Going to read signature\n"};

Lines Concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

uint64_t SignatureStart(const std::string& b) {
  uint32_t l = support::LoadU32le(reinterpret_cast<const uint8_t*>(b.data()) + b.size() - 28);
  return b.size() - 28 - l;
}
void PutU32At(std::string& b, size_t at, uint32_t v) {
  support::StoreU32le(reinterpret_cast<uint8_t*>(b.data()) + at, v);
}

struct Outcome {
  bool ok;
  Lines trace;
  std::string out;
};

Outcome OpenBytes(const std::string& bytes, const std::function<void(BundleReader&)>& setup = {}) {
  std::string path = TempPath("validate.bnd");
  WriteFile(path, bytes);
  BundleReader reader;
  Configure(reader);
  if (setup) setup(reader);
  TraceCapture trace;
  ::testing::internal::CaptureStdout();
  bool ok = reader.Open(Wide(path));
  return {ok, trace.lines(), ::testing::internal::GetCapturedStdout()};
}

struct ValidateCase {
  const char* name;
  std::function<std::string()> make;         // the bundle's bytes
  std::function<void(BundleReader&)> setup;  // reader settings beyond the worker's
  bool ok;
  Lines trace;      // the exact trace lines
  std::string out;  // the exact standard output
};

std::string Script() { return "x86,gui,install_script,a.txt\n"; }
std::string Plain(ztpack::BundleOptions options = {}, const std::string& cert = Certificate()) {
  return WriteBundle(TempPath("case.bnd"), {{"install_script", Script()}}, options, cert);
}
ztpack::BundleOptions Junk(uint64_t n) {
  ztpack::BundleOptions o;
  o.junkLength = n;
  return o;
}
ztpack::BundleOptions Chunk(uint32_t n) {
  ztpack::BundleOptions o;
  o.chunkSize = n;
  return o;
}
std::string RawBlockCert(std::vector<uint8_t> fields) {
  return std::string(fields.begin(), fields.end());
}

const Lines kWalk = {"Going to read checksum\n", "Iterated install_script\n", "Iterate done\n"};
const Lines kRefused = {"Invalid public key inside bundle\n"};
const Lines kInvalid = {"Digital signature is invalid!\n"};
const Lines kOpenFailed = {"Invalid SHA1 encountered!\n"};
const std::string kRefusedOut = "Invalid public key inside bundle\nDigital signature is invalid!\n";

Lines DigestLines(const std::string& bytes, uint8_t storedXor) {
  Lines out = {"Digest compare fail\n"};
  const uint8_t* stored = reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - 20;
  char line[64];
  for (int i = 0; i < 20; ++i) {
    std::snprintf(line, sizeof line, "%02d: read %02X calc %02X\n", i, stored[i],
                  stored[i] ^ (i == 0 ? storedXor : 0));
    out.push_back(line);
  }
  return out;
}

TEST(BundleValidate, Cases) {
  const std::string badGoal = Plain({}, Certificate("AVSG"));
  std::string badGoalBadSum = badGoal;
  badGoalBadSum[badGoalBadSum.size() - 20] ^= 0x5A;

  const ValidateCase cases[] = {
      {"valid",
       [] { return Plain(); },
       {},
       true,
       Concat({kStart, kWalk, {"Junk read done\n"}}),
       ""},
      {"junk of 20000 is signed and read in pieces",
       [] { return Plain(Junk(20000)); },
       {},
       true,
       Concat({kStart,
               kWalk,
               {"Junk len 20000\n", "Junk len 11808\n", "Junk len 3616\n", "Junk read done\n"}}),
       ""},
      {"expiry in the past does not matter",
       [] { return Plain({}, Certificate("IBND", 1)); },
       {},
       true,
       Concat({kStart, kWalk, {"Junk read done\n"}}),
       ""},
      {"stored checksum changed does not matter",
       [] {
         std::string b = Plain();
         b[b.size() - 1] ^= 1;
         return b;
       },
       {},
       true,
       Concat({kStart, kWalk, {"Junk read done\n"}}),
       ""},
      {"goal mismatch names both tags",
       [&] { return badGoal; },
       {},
       false,
       Concat({kStart,
               {"Public key goal is AVSG, should be IBND\n"},
               kRefused,
               kWalk,
               kInvalid,
               kOpenFailed}),
       kRefusedOut},
      {"goal mismatch with a damaged checksum shows the digests",
       [&] { return badGoalBadSum; },
       {},
       false,
       Concat({kStart,
               {"Public key goal is AVSG, should be IBND\n"},
               kRefused,
               kWalk,
               kInvalid,
               DigestLines(badGoalBadSum, 0x5A),
               kOpenFailed}),
       kRefusedOut},
      {"root key that did not certify", [] { return Plain(); },
       [](BundleReader& r) { r.SetRootKey(TestKeys::Get().otherRootDer); }, false,
       Concat({kStart, {"Public key sign is not valid"}, kRefused, kWalk, kInvalid, kOpenFailed}),
       kRefusedOut},
      {"public key block shorter than 16",
       [] { return Plain({}, std::string("IBND\xff\xff\xff\xff\0\0\0\0\0\0\0", 15)); },
       {},
       false,
       Concat({kStart, kRefused, kWalk, kInvalid, kOpenFailed}),
       kRefusedOut},
      {"key overruns the block",
       [] {
         return Plain({},
                      RawBlockCert({'I', 'B', 'N', 'D', 0, 0, 0, 0, 0xE8, 3, 0, 0, 1, 2, 3, 4, 5}));
       },
       {},
       false,
       Concat({kStart, {"Public key is truncated\n"}, kRefused, kWalk, kInvalid, kOpenFailed}),
       kRefusedOut},
      {"root signature overruns the block",
       [] {
         return Plain({},
                      RawBlockCert({'I', 'B', 'N', 'D', 0, 0, 0, 0, 0, 0, 0, 0, 0xE8, 3, 0, 0, 1}));
       },
       {},
       false,
       Concat({kStart, {"Public key sign is truncated\n"}, kRefused, kWalk, kInvalid, kOpenFailed}),
       kRefusedOut},
      {"tail marker missing",
       [] {
         std::string b = Plain();
         b[b.size() - 24] = 'X';
         return b;
       },
       {},
       false,
       {"Validating checksum\n", "Error: Bundle is not digitally signed.\n",
        "Invalid SHA1 encountered!\n"},
       "Error: Bundle is not digitally signed.\n"},
      {"signature block length 8193",
       [] {
         std::string b = Plain();
         PutU32At(b, b.size() - 28, 8193);
         return b;
       },
       {},
       false,
       Concat({kStart, kOpenFailed}),
       ""},
      {"signature block longer than the file",
       [] {
         std::string b = Plain();
         PutU32At(b, b.size() - 28, 8192);
         return b;
       },
       {},
       false,
       Concat({kStart, kOpenFailed}),
       ""},
      {"bundle signature length out of the block",
       [] {
         std::string b = Plain();
         PutU32At(b, SignatureStart(b), 0x7FFFFFF0);
         return b;
       },
       {},
       false,
       Concat({kStart, kOpenFailed}),
       ""},
      {"negative bundle signature length",
       [] {
         std::string b = Plain();
         PutU32At(b, SignatureStart(b), 0x80000000u);
         return b;
       },
       {},
       false,
       Concat({kStart, kOpenFailed}),
       ""},
      {"junk changed: bundle signature fails",
       [] {
         std::string b = Plain(Junk(10));
         b[SignatureStart(b) - 1] ^= 0x40;
         return b;
       },
       {},
       false,
       Concat({kStart,
               kWalk,
               {"Junk len 10\n", "Junk read done\n",
                "Exception in validate sign: VerifierFilter: digital signature not valid\n"},
               kInvalid,
               kOpenFailed}),
       "Digital signature is invalid!\n"},
      {"chunk of the largest size validates", [] { return Plain(Chunk(29)); },
       [](BundleReader& r) { r.SetMaxChunkSize(29); }, true,
       Concat({kStart, kWalk, {"Junk read done\n"}}), ""},
      {"chunk of the largest size plus one", [] { return Plain(Chunk(29)); },
       [](BundleReader& r) { r.SetMaxChunkSize(28); }, false,
       Concat({kStart,
               {"Going to read checksum\n", "Iterated install_script\n",
                "Reading file for checksum failed!\n"},
               kOpenFailed}),
       ""},
      {"stored length above the bound",
       [] {
         ztpack::BundleWriter w;
         EXPECT_TRUE(w.Begin(TempPath("raw.bnd"), TestKeys::Get().bundle, Certificate(), {}).ok());
         EXPECT_TRUE(w.BeginEntry("install_script", 1).ok());
         EXPECT_TRUE(w.WriteChunk(std::string(1000 + 13 + 1, 'z'), 10).ok());
         EXPECT_TRUE(w.Finish().ok());
         return ReadFile(TempPath("raw.bnd"));
       },
       [](BundleReader& r) { r.SetMaxChunkSize(1000); }, false,
       Concat({kStart,
               {"Going to read checksum\n", "Iterated install_script\n",
                "Reading file for checksum failed!\n"},
               kOpenFailed}),
       ""},
      {"wrong magic", [] { return "ZTBUNDLX" + Plain().substr(8); }, {}, false, {}, ""},
      {"version 2",
       [] {
         std::string b = Plain();
         b[12] = 2;
         return b;
       },
       {},
       false,
       {},
       ""},
      {"short header", [] { return Plain().substr(0, 24); }, {}, false, {}, ""},
  };
  for (const ValidateCase& c : cases) {
    Outcome o = OpenBytes(c.make(), c.setup);
    EXPECT_EQ(o.ok, c.ok) << c.name;
    EXPECT_EQ(o.trace, c.trace) << c.name;
    EXPECT_EQ(o.out, c.out) << c.name;
  }
}

// A certified key that is not an RSA key: Open fails with a trace line, nothing escapes.
TEST(BundleValidate, CertifiedKeyThatIsNotRsaIsRefused) {
  const TestKeys& k = TestKeys::Get();
  std::string cert = ztpack::MakePublicKeyBlock(k.root, "not a DER key at all", "IBND", 0).value();
  Outcome o = OpenBytes(Plain({}, cert));
  EXPECT_FALSE(o.ok);
  ASSERT_GE(o.trace.size(), 4u);
  EXPECT_EQ(o.trace[2].rfind("Bundle key is not an RSA public key", 0), 0u) << o.trace[2];
  EXPECT_EQ(o.trace[3], "Invalid public key inside bundle\n");
  EXPECT_EQ(o.trace.back(), "Invalid SHA1 encountered!\n");
}

// Any change of the signed region after the version byte fails: at the signature, or earlier
// when the change garbles a length the walk reads.
TEST(BundleValidate, ChangingAnySignedByteFails) {
  std::vector<Entry> entries = {{"install_script", Script()}, {"b.bin", std::string(5000, 'q')}};
  std::string good = WriteBundle(TempPath("prop.bnd"), entries, Junk(300));
  const uint64_t signedEnd = SignatureStart(good);
  std::mt19937 rng(99);
  for (int i = 0; i < 80; ++i) {
    uint64_t at = 13 + rng() % (signedEnd - 13);
    std::string bad = good;
    bad[at] ^= static_cast<char>(1 + rng() % 255);
    Outcome o = OpenBytes(bad);
    EXPECT_FALSE(o.ok) << "offset " << at;
    bool reported = std::find(o.trace.begin(), o.trace.end(), "Digital signature is invalid!\n") !=
                        o.trace.end() ||
                    std::find(o.trace.begin(), o.trace.end(),
                              "Reading file for checksum failed!\n") != o.trace.end();
    EXPECT_TRUE(reported) << "offset " << at;
    EXPECT_EQ(o.trace.back(), "Invalid SHA1 encountered!\n") << "offset " << at;
  }
}

// Truncated at every length, and the tail's length field at its edges: refused, never a crash.
TEST(BundleValidate, TruncatedAtEveryLength) {
  std::string good = WriteBundle(TempPath("trunc.bnd"), {{"install_script", "a\n"}});
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(OpenBytes(good.substr(0, n)).ok) << n;
  }
  const uint32_t l = static_cast<uint32_t>(good.size() - 28 - SignatureStart(good));
  for (uint32_t v : {0u, 1u, l - 1, l + 1, 8192u, 0xFFFFFFFFu}) {
    std::string bad = good;
    PutU32At(bad, bad.size() - 28, v);
    EXPECT_FALSE(OpenBytes(bad).ok) << v;
  }
}

TEST(BundleValidate, FailedOpenLeavesTheReaderClosedAndReusable) {
  std::string path = TempPath("reuse.bnd");
  WriteFile(path, Plain({}, Certificate("AVSG")));
  BundleReader reader;
  Configure(reader);
  EXPECT_FALSE(reader.Open(Wide(path)));
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_TRUE(reader.Catalogue().empty());
  EXPECT_EQ(reader.OpenEntry("install_script"), nullptr);
  WriteFile(path, Plain());
  EXPECT_TRUE(reader.Open(Wide(path)));
  EXPECT_NE(reader.OpenEntry("install_script"), nullptr);
}

// The built-in root key: only testable when the private half of the build's root is at hand.
TEST(BundleValidate, BuiltInRootKeyCertifies) {
  if (!ZT_USING_DEV_ROOT_KEY) GTEST_SKIP() << "built with another root key";
  auto root = ztpack::LoadPrivateKey(std::string(ZT_DEV_KEYS_DIR) + "/root.key");
  auto key = ztpack::LoadPrivateKey(std::string(ZT_DEV_KEYS_DIR) + "/bundle.key");
  ASSERT_TRUE(root.ok()) << root.error();
  ASSERT_TRUE(key.ok()) << key.error();
  EXPECT_EQ(ztpack::PublicKeyDer(*root), bundle::BuiltinRootKey());
  std::string cert =
      ztpack::MakePublicKeyBlock(*root, ztpack::PublicKeyDer(*key), "IBND", 0).value();
  std::string path = TempPath("builtin.bnd");
  ASSERT_TRUE(
      ztpack::WriteBundle(path, {{"install_script", "", std::string("x\n")}}, *key, cert, {}).ok());
  BundleReader reader;
  reader.SetGoal("IBND");
  EXPECT_TRUE(reader.Open(Wide(path)));
}

}  // namespace
}  // namespace bundle_test
