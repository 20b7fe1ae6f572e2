#include "verify/setup_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>

#include "author/attachment_writer.h"
#include "author/bundle_writer.h"
#include "author/keys.h"
#include "author/setup_signer.h"
#include "container/attachment.h"
#include "container/attachment_format.h"
#include "container/pe_locator.h"
#include "read/bundle_description.h"
#include "testutil/capture.h"
#include "testutil/digest.h"
#include "testutil/process.h"
#include "testutil/temp_dir.h"
#include "verify/bundle_binding.h"

namespace verify {
namespace {

const std::string kKeys = ZT_DEV_KEYS_DIR;
const std::string kNotValidTrace =
    "Signature not valid: VerifierFilter: digital signature not valid\n";

using testutil::Hex;
using testutil::ReadFile;
using testutil::WriteFile;

class SetupKeys : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto key = ztpack::LoadPrivateKey(kKeys + "/setup.key");
    ASSERT_TRUE(key) << key.error();
    key_ = new ztpack::RsaPrivateKey(*key);
    publicDer_ = new std::string(ztpack::PublicKeyDer(*key_));
  }
  static void TearDownTestSuite() {
    delete key_;
    delete publicDer_;
  }

  struct Check {
    bool verified = false;
    SetupSignatureOutcome outcome;
    int notValidLines = 0;     // "Signature not valid: ..." trace lines
    std::string notValidText;  // all of them
  };
  // One call as the worker makes it (plain pass first), with the trace captured.
  static Check Verify(const std::filesystem::path& file, bool headerTolerant = false) {
    Check c;
    testutil::DebugCapture capture;
    ::testing::internal::CaptureStdout();
    c.verified =
        VerifySetupSignatureWithKey(file.u16string(), *publicDer_, headerTolerant, &c.outcome);
    ::testing::internal::GetCapturedStdout();
    for (const std::string& line : capture.lines()) {
      if (line.rfind("Signature not valid", 0) == 0) {
        ++c.notValidLines;
        c.notValidText += line;
      }
    }
    return c;
  }

  static ztpack::RsaPrivateKey* key_;
  static std::string* publicDer_;
  testutil::TempDir dir_;
};
ztpack::RsaPrivateKey* SetupKeys::key_ = nullptr;
std::string* SetupKeys::publicDer_ = nullptr;

// ---------------------------------------------------------------------------------------------
// The signature document, on a file that is not a PE (signed plainly: every byte in front).

struct DocumentCase {
  const char* name;
  // Makes the document from the upper-case hex text of a valid signature.
  std::string (*document)(const std::string& hex);
  bool verified;
};

const DocumentCase kDocumentCases[] = {
    {"Valid", [](const std::string& h) { return "{\"sign\":\"" + h + "\"}"; }, true},
    {"LowerCase",
     [](const std::string& h) {
       std::string l = h;
       std::transform(l.begin(), l.end(), l.begin(),
                      [](unsigned char c) { return std::tolower(c); });
       return "{\"sign\":\"" + l + "\"}";
     },
     true},
    {"OddLengthLastCharacterIgnored",
     [](const std::string& h) { return "{\"sign\":\"" + h + "F\"}"; }, true},
    {"OtherMembersIgnored",
     [](const std::string& h) { return "{\"a\":[1,2],\"sign\":\"" + h + "\",\"z\":null}"; }, true},
    {"RepeatedSignKeepsLater",
     [](const std::string& h) { return "{\"sign\":\"00\",\"sign\":\"" + h + "\"}"; }, true},
    {"ByteOrderMarkTolerated",
     [](const std::string& h) { return "\xEF\xBB\xBF{\"sign\":\"" + h + "\"}"; }, true},
    {"Decodes511Bytes",
     [](const std::string& h) { return "{\"sign\":\"" + h.substr(0, h.size() - 2) + "\"}"; },
     false},
    {"Decodes513Bytes", [](const std::string& h) { return "{\"sign\":\"" + h + "00\"}"; }, false},
    {"OneDigitChanged",
     [](const std::string& h) {
       std::string c = h;
       c[100] = c[100] == '0' ? '1' : '0';
       return "{\"sign\":\"" + c + "\"}";
     },
     false},
    {"NoSignMember", [](const std::string& h) { return "{\"signature\":\"" + h + "\"}"; }, false},
    {"EmptyObject", [](const std::string&) { return std::string("{}"); }, false},
    {"SignEmpty", [](const std::string&) { return std::string("{\"sign\":\"\"}"); }, false},
    {"SignNumber", [](const std::string&) { return std::string("{\"sign\":5}"); }, false},
    {"RootArray", [](const std::string& h) { return "[\"" + h + "\"]"; }, false},
    {"Utf16Document", [](const std::string&) { return std::string("{\0\"\0", 4); }, false},
};

class SignatureDocument : public SetupKeys, public ::testing::WithParamInterface<DocumentCase> {};

TEST_P(SignatureDocument, Decides) {
  const DocumentCase& c = GetParam();
  std::string content(5000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131 + 7) % 251);
  auto signature = ztpack::SignSha1(*key_, content);
  ASSERT_TRUE(signature) << signature.error();
  auto attachment = ztpack::MakeAttachment("_SG2", c.document(Hex(*signature, true)));
  ASSERT_TRUE(attachment) << attachment.error();
  WriteFile(dir_ / "setup.bin", content + *attachment);

  Check check = Verify(dir_ / "setup.bin");
  EXPECT_EQ(check.verified, c.verified);
  // A file that is not a PE has no skip ranges: the second pass rejects it without a trace.
  EXPECT_EQ(check.notValidLines, 0) << check.notValidText;
  EXPECT_EQ(check.outcome.dataOffset, 5000);
}

INSTANTIATE_TEST_SUITE_P(Cases, SignatureDocument, ::testing::ValuesIn(kDocumentCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The worker verifies through the handle that holds the setup program: what its path names
// afterwards does not change what is checked. Both ways round: a valid file held and a tampered
// one put at its path, and a tampered file held and a valid one put at its path.
TEST_F(SetupKeys, HeldHandleDecidesNotThePath) {
  std::string content(5000, 'c');
  auto signature = ztpack::SignSha1(*key_, content);
  ASSERT_TRUE(signature);
  auto attachment = ztpack::MakeAttachment("_SG2", ztpack::MakeSignatureDocument(*signature));
  ASSERT_TRUE(attachment);
  const std::string good = content + *attachment;
  std::string bad = good;
  bad[10] ^= 1;
  for (bool heldIsGood : {true, false}) {
    WriteFile(dir_ / "setup.exe", heldIsGood ? good : bad);
    platform::File held =
        platform::File::Open((dir_ / "setup.exe").u16string(), platform::OpenMode::kReadDenyWrite);
    ASSERT_TRUE(held.IsOpen());
    WriteFile(dir_ / "swap", heldIsGood ? bad : good);
    std::filesystem::rename(dir_ / "swap", dir_ / "setup.exe");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(VerifySetupSignatureWithKey(held, *publicDer_), heldIsGood) << heldIsGood;
    EXPECT_EQ(VerifySetupSignatureWithKey((dir_ / "setup.exe").u16string(), *publicDer_),
              !heldIsGood);
    ::testing::internal::GetCapturedStdout();
  }
}

TEST_F(SetupKeys, UnusableSignTextDecidesInThePlainPass) {
  for (const std::string doc : {"{}", "{\"sign\":5}", "[1]", "{\"sign\":\"\"}"}) {
    auto attachment = ztpack::MakeAttachment("_SG2", doc);
    ASSERT_TRUE(attachment);
    WriteFile(dir_ / "s.bin", std::string(600, 'x') + *attachment);
    Check check = Verify(dir_ / "s.bin");
    EXPECT_FALSE(check.verified) << doc;
    EXPECT_FALSE(check.outcome.headerTolerant) << doc << ": no second pass";
  }
}

TEST_F(SetupKeys, NoSignatureAttachment) {
  auto other = ztpack::MakeAttachment("IBND", "bundle");
  ASSERT_TRUE(other);
  WriteFile(dir_ / "a.bin", std::string(600, 'x') + *other);
  WriteFile(dir_ / "b.bin", "");
  for (const char* name : {"a.bin", "b.bin", "missing.bin"}) {
    Check check = Verify(dir_ / name);
    EXPECT_FALSE(check.verified) << name;
    EXPECT_FALSE(check.outcome.headerTolerant) << name;
    EXPECT_EQ(check.notValidLines, 0) << name;
  }
}

TEST_F(SetupKeys, DataOffsetBelow512FailsWithoutTrace) {
  for (size_t size : {size_t{100}, size_t{511}}) {
    std::string content(size, 'q');
    auto signature = ztpack::SignSha1(*key_, content + "tampered");
    ASSERT_TRUE(signature);
    auto attachment = ztpack::MakeAttachment("_SG2", ztpack::MakeSignatureDocument(*signature));
    WriteFile(dir_ / "small.bin", content + *attachment);
    Check check = Verify(dir_ / "small.bin");
    EXPECT_FALSE(check.verified);
    EXPECT_TRUE(check.outcome.headerTolerant);
    EXPECT_EQ(check.notValidLines, 0);
    EXPECT_NE(check.outcome.reason.find("512"), std::string::npos) << check.outcome.reason;
  }
}

TEST_F(SetupKeys, BytesFromTheDocumentOnAreNotSigned) {
  std::string content(3000, 'c');
  auto signature = ztpack::SignSha1(*key_, content);
  ASSERT_TRUE(signature);
  // A document with trailing bytes and another attachment behind it: neither is signed.
  auto chain =
      ztpack::MakeChain({ztpack::AttachmentInput::FromBytes(
                             "_SG2", ztpack::MakeSignatureDocument(*signature) + "  junk"),
                         ztpack::AttachmentInput::FromBytes("IBND", std::string(70000, 'b'))});
  ASSERT_TRUE(chain);
  WriteFile(dir_ / "s.bin", content + *chain);
  EXPECT_TRUE(Verify(dir_ / "s.bin").verified);
}

TEST_F(SetupKeys, SignSetupOnAFileThatIsNotAPe) {
  WriteFile(dir_ / "in.bin", std::string(20000, 'z'));
  WriteFile(dir_ / "bundle", "BUNDLE BYTES");
  ztpack::SignSetupOptions options{(dir_ / "in.bin").string(),
                                   (dir_ / "out.bin").string(),
                                   (dir_ / "bundle").string(),
                                   false,
                                   {}};
  auto summary = ztpack::SignSetup(*key_, options);
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_FALSE(summary->pe);
  EXPECT_TRUE(summary->plain);
  EXPECT_EQ(summary->dataOffset, 20000);
  Check check = Verify(dir_ / "out.bin");
  EXPECT_TRUE(check.verified);
  EXPECT_FALSE(check.outcome.headerTolerant);
  testutil::DebugCapture quiet;
  EXPECT_TRUE(container::ExtractAttachmentToFile(false, (dir_ / "out.bin").u16string(), "IBND",
                                                 (dir_ / "ibnd").u16string(), 25, 50));
  EXPECT_EQ(ReadFile(dir_ / "ibnd"), "BUNDLE BYTES");
}

#if ZT_USING_DEV_SETUP_KEY
TEST_F(SetupKeys, BuiltInKeyIsTheDevelopmentKey) {
  WriteFile(dir_ / "in.bin", std::string(1000, 'k'));
  auto summary = ztpack::SignSetup(
      *key_, {(dir_ / "in.bin").string(), (dir_ / "out.bin").string(), "", false, {}});
  ASSERT_TRUE(summary) << summary.error();
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(VerifySetupSignature((dir_ / "out.bin").u16string()));
  ::testing::internal::GetCapturedStdout();
}
#endif

TEST_F(SetupKeys, MalformedKeyFailsThroughTheSecondPass) {
  WriteFile(dir_ / "in.bin", std::string(1000, 'k'));
  auto summary = ztpack::SignSetup(
      *key_, {(dir_ / "in.bin").string(), (dir_ / "out.bin").string(), "", false, {}});
  ASSERT_TRUE(summary) << summary.error();
  SetupSignatureOutcome outcome;
  testutil::DebugCapture capture;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(
      VerifySetupSignatureWithKey((dir_ / "out.bin").u16string(), "not a key", false, &outcome));
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(outcome.headerTolerant);
  // The key is decoded before the tolerant pass looks at the file, so its error is the trace.
  const std::string all = capture.joined();
  EXPECT_NE(all.find("Signature not valid: BER decode error\n"), std::string::npos) << all;
}

// ---------------------------------------------------------------------------------------------
// PE setup programs built at test time with MinGW (stripped, so they have few sections), signed
// with sign-setup, then Authenticode-signed and given their bundle.

struct PeFlavour {
  const char* name;
  const char* compiler;
};
const PeFlavour kFlavours[] = {{"Pe32", "i686-w64-mingw32-gcc"},
                               {"Pe32Plus", "x86_64-w64-mingw32-gcc"}};

class PeSetup : public SetupKeys, public ::testing::WithParamInterface<PeFlavour> {
 protected:
  void SetUp() override {
    if (!testutil::HaveCommand(GetParam().compiler))
      GTEST_SKIP() << GetParam().compiler << " not installed";
    WriteFile(dir_ / "main.c", "#include <stdio.h>\nint main(void){puts(\"setup\");return 0;}\n");
    ASSERT_EQ(
        testutil::Shell(std::string(GetParam().compiler) + " -s -O2 -o '" +
                        (dir_ / "setup.exe").string() + "' '" + (dir_ / "main.c").string() + "'")
            .exitCode,
        0);
  }

  std::filesystem::path Sign(bool plain, const std::string& name) {
    ztpack::SignSetupOptions options{
        (dir_ / "setup.exe").string(), (dir_ / name).string(), "", plain, {}};
    auto summary = ztpack::SignSetup(*key_, options);
    EXPECT_TRUE(summary) << summary.error();
    return dir_ / name;
  }

  // Adds a throwaway Authenticode signature in place; false when the tools are missing.
  bool Authenticode(const std::filesystem::path& file) {
    if (!testutil::HaveCommand("osslsigncode") || !testutil::HaveCommand("openssl")) return false;
    const std::string d = dir_.path().string();
    if (!std::filesystem::exists(dir_ / "cert.pem")) {
      EXPECT_EQ(
          testutil::Shell(
              "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=Throwaway -keyout '" +
              d + "/cert.key' -out '" + d + "/cert.pem'")
              .exitCode,
          0);
    }
    std::string out = file.string() + ".signed";
    EXPECT_EQ(testutil::Shell("osslsigncode sign -certs '" + d + "/cert.pem' -key '" + d +
                              "/cert.key' -in '" + file.string() + "' -out '" + out + "'")
                  .exitCode,
              0);
    std::filesystem::rename(out, file);
    return true;
  }

  void Attach(const std::filesystem::path& file, const std::string& bundle) {
    WriteFile(dir_ / "bundle.bin", bundle);
    ASSERT_EQ(testutil::RunZtpack("attach --type IBND --data '" + (dir_ / "bundle.bin").string() +
                                  "' '" + file.string() + "'")
                  .exitCode,
              0);
  }

  std::vector<container::ByteRange> Ranges(const std::filesystem::path& file) {
    platform::File f = platform::File::Open(file.u16string(), platform::OpenMode::kRead);
    std::vector<container::ByteRange> ranges;
    EXPECT_TRUE(container::CollectHeaderSkipRanges(&f, &ranges));
    return ranges;
  }
};

TEST_P(PeSetup, AuthenticodeThenBundleStillVerifiesThroughTheTolerantPass) {
  std::filesystem::path file = Sign(false, "signed.exe");
  Check before = Verify(file);
  EXPECT_TRUE(before.verified);
  EXPECT_TRUE(before.outcome.headerTolerant);
  EXPECT_EQ(before.notValidLines, 0);

  if (!Authenticode(file)) GTEST_SKIP() << "osslsigncode or openssl not installed";
  const std::string bundle(150000, 'B');
  Attach(file, bundle);
  std::string bytes = ReadFile(file);
  ASSERT_EQ(bytes.substr(bytes.size() - bundle.size() - 28, 4),
            std::string(4, static_cast<char>('B' ^ container::kContainerKey)))
      << "the bundle is at the very end";

  Check after = Verify(file);
  EXPECT_TRUE(after.verified) << after.outcome.reason;
  EXPECT_TRUE(after.outcome.headerTolerant);
  EXPECT_EQ(after.notValidLines, 0) << after.notValidText;
  EXPECT_TRUE(Verify(file, true).verified);

  testutil::DebugCapture quiet;
  ASSERT_TRUE(container::ExtractAttachmentToFile(false, file.u16string(), "IBND",
                                                 (dir_ / "ibnd").u16string(), 25, 50));
  EXPECT_EQ(ReadFile(dir_ / "ibnd"), bundle);
}

// Bound with --bind-bundle, Authenticode-signed, then given its bundle: the binding in front of
// the document is still found where the check finds the document, and names that bundle only.
TEST_P(PeSetup, BindingSurvivesTheAuthenticodeOrder) {
  auto bundleKey = ztpack::GenerateKey(1024, 65537);
  auto block = ztpack::MakePublicKeyBlock(*bundleKey, ztpack::PublicKeyDer(*bundleKey), "IBND", 0);
  ASSERT_TRUE(ztpack::WriteBundle((dir_ / "b").string(), {{"install_script", "", "#"}}, *bundleKey,
                                  *block, {})
                  .ok());
  const std::string digest = ztpack::InspectBundle((dir_ / "b").string(), "")->signedDigest;
  ztpack::SignSetupOptions options;
  options.input = (dir_ / "setup.exe").string();
  options.output = (dir_ / "bound.exe").string();
  options.bindBundle = (dir_ / "b").string();
  auto summary = ztpack::SignSetup(*key_, options);
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_EQ(summary->boundTo, DigestText(digest));
  if (!Authenticode(dir_ / "bound.exe")) GTEST_SKIP() << "osslsigncode or openssl not installed";
  Attach(dir_ / "bound.exe", ReadFile(dir_ / "b"));

  EXPECT_TRUE(Verify(dir_ / "bound.exe").verified);
  testutil::DebugCapture quiet;
  BundleBinding binding = ReadBundleBinding((dir_ / "bound.exe").u16string());
  EXPECT_EQ(binding.signedDigest, DigestText(digest));
  EXPECT_EQ(binding.memberDigest, DigestText(digest));
  EXPECT_TRUE(BindingAccepts(binding, digest));
  EXPECT_FALSE(BindingAccepts(binding, std::string(20, 'x')));
}

TEST_P(PeSetup, PlainSigningPassesThePlainPassUntilAuthenticode) {
  std::filesystem::path file = Sign(true, "plain.exe");
  Check before = Verify(file);
  EXPECT_TRUE(before.verified);
  EXPECT_FALSE(before.outcome.headerTolerant);
  EXPECT_FALSE(Verify(file, true).verified) << "the tolerant pass hashes other bytes";

  if (!Authenticode(file)) GTEST_SKIP() << "osslsigncode or openssl not installed";
  Check after = Verify(file);
  EXPECT_FALSE(after.verified);
  EXPECT_TRUE(after.outcome.headerTolerant);
  EXPECT_EQ(after.notValidLines, 1);
  EXPECT_EQ(after.notValidText, kNotValidTrace);
}

// Changes confined to the header skip ranges are tolerated; any other byte in front of the
// document breaks both passes, with one trace line.
TEST_P(PeSetup, ByteChanges) {
  std::filesystem::path file = Sign(false, "signed.exe");
  const std::string original = ReadFile(file);
  const std::vector<container::ByteRange> ranges = Ranges(file);
  ASSERT_EQ(ranges.size(), 5u);
  Check base = Verify(file);
  ASSERT_TRUE(base.verified);
  const int64_t dataOffset = base.outcome.dataOffset;

  struct Change {
    std::string name;
    int64_t offset;
    bool verified;
  };
  const container::ByteRange slack = ranges[4];
  const std::vector<Change> changes = {
      {"DosStub", 0x40, false},
      {"TimeDateStamp", ranges[0].offset + 2, false},
      {"FirstSectionData", 0x400 + 17, false},
      {"LastByteBeforeDocument", dataOffset - 1, false},
      {"SizeOfImageFirst", ranges[1].offset, true},
      {"SizeOfImageLast", ranges[1].offset + 3, true},
      {"CheckSumFirst", ranges[2].offset, true},
      {"CheckSumLast", ranges[2].offset + 3, true},
      {"CertificateEntryFirst", ranges[3].offset, true},
      {"CertificateEntryLast", ranges[3].offset + 7, true},
      {"SlackBundleSectionRawSize", slack.offset + 16, true},
      {"SlackLast", slack.offset + slack.length - 1, true},
  };
  for (const Change& c : changes) {
    std::string bytes = original;
    bytes[static_cast<size_t>(c.offset)] ^= 0x5A;
    WriteFile(file, bytes);
    Check check = Verify(file);
    EXPECT_EQ(check.verified, c.verified) << c.name;
    EXPECT_EQ(check.notValidLines, c.verified ? 0 : 1) << c.name << ": " << check.notValidText;
    if (!c.verified) {
      EXPECT_EQ(check.notValidText, kNotValidTrace) << c.name;
    }
  }
}

// The header-tolerant pass runs beside the plain one, yet the call leaves the same trace and
// standard output as the passes one after the other would: the document's lines once when the
// plain pass verifies, otherwise once more followed by the tolerant pass's own lines.
TEST_P(PeSetup, TwoPassCallTracesLikeThePassesInTurn) {
  auto capture = [](const std::function<void()>& call) {
    testutil::DebugCapture trace;
    ::testing::internal::CaptureStdout();
    call();
    std::string out = ::testing::internal::GetCapturedStdout();
    for (const std::string& line : trace.lines()) out += "|" + line;
    return out;
  };
  std::filesystem::path tolerant = Sign(false, "tolerant.exe");
  std::filesystem::path plain = Sign(true, "plain.exe");
  std::filesystem::path broken = dir_ / "broken.exe";
  std::string bytes = ReadFile(tolerant);
  bytes[0x400 + 17] ^= 0x5A;
  WriteFile(broken, bytes);

  struct Case {
    std::filesystem::path file;
    bool verified, plainVerifies;
  };
  for (const Case& c :
       {Case{tolerant, true, false}, Case{plain, true, true}, Case{broken, false, false}}) {
    SCOPED_TRACE(c.file.filename().string());
    int32_t offset = 0;
    const std::string document =
        capture([&] { ReadSignatureDocument(c.file.u16string(), &offset); });
    const std::string tolerantOnly = capture(
        [&] { VerifySetupSignatureWithKey(c.file.u16string(), *publicDer_, true, nullptr); });
    bool verified = false;
    const std::string both = capture([&] {
      verified = VerifySetupSignatureWithKey(c.file.u16string(), *publicDer_, false, nullptr);
    });
    EXPECT_EQ(verified, c.verified);
    // Standard output first, then the trace lines, for each capture.
    auto split = [](const std::string& text) {
      size_t bar = text.find('|');
      return std::make_pair(text.substr(0, bar), bar == std::string::npos ? "" : text.substr(bar));
    };
    auto [docOut, docTrace] = split(document);
    auto [tolOut, tolTrace] = split(tolerantOnly);
    const std::string expected = c.plainVerifies ? document : docOut + tolOut + docTrace + tolTrace;
    EXPECT_EQ(both, expected);
  }
}

TEST_P(PeSetup, SignSetupKeepsTheImageLayoutTheReaderExpects) {
  std::filesystem::path file = Sign(false, "signed.exe");
  WriteFile(dir_ / "bundle", "bundle!");
  auto summary = ztpack::SignSetup(*key_, {(dir_ / "setup.exe").string(),
                                           (dir_ / "withbundle.exe").string(),
                                           (dir_ / "bundle").string(),
                                           false,
                                           {}});
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_TRUE(summary->pe);
  EXPECT_FALSE(summary->plain);
  EXPECT_GE(summary->dataOffset, kMinTolerantDataOffset);
  // The same signed bytes in front of the document, with or without the bundle behind.
  EXPECT_EQ(ReadFile(file).substr(0, summary->dataOffset),
            ReadFile(dir_ / "withbundle.exe").substr(0, summary->dataOffset));
  EXPECT_TRUE(Verify(dir_ / "withbundle.exe").verified);
  // Re-signing a signed program replaces its .ZTBNDL section instead of adding another.
  auto again =
      ztpack::SignSetup(*key_, {file.string(), (dir_ / "again.exe").string(), "", false, {}});
  ASSERT_TRUE(again) << again.error();
  EXPECT_EQ(ReadFile(dir_ / "again.exe"), ReadFile(file));
}

TEST_P(PeSetup, AttachmentsInFrontOfTheDocumentAreSigned) {
  ztpack::SignSetupOptions options{
      (dir_ / "setup.exe").string(),
      (dir_ / "lead.exe").string(),
      "",
      false,
      {ztpack::AttachmentInput::FromBytes("DATA", std::string(3000, 'd'))}};
  auto summary = ztpack::SignSetup(*key_, options);
  ASSERT_TRUE(summary) << summary.error();
  ASSERT_TRUE(Verify(dir_ / "lead.exe").verified);
  std::string bytes = ReadFile(dir_ / "lead.exe");
  bytes[static_cast<size_t>(summary->dataOffset) - 28 - 1500] ^= 1;  // inside DATA
  WriteFile(dir_ / "lead.exe", bytes);
  Check check = Verify(dir_ / "lead.exe");
  EXPECT_FALSE(check.verified);
  EXPECT_EQ(check.notValidText, kNotValidTrace);
}

INSTANTIATE_TEST_SUITE_P(Flavours, PeSetup, ::testing::ValuesIn(kFlavours),
                         [](const auto& info) { return std::string(info.param.name); });

// A PE that would have more than 15 sections cannot pass the tolerant pass: refused, with the
// reason; --plain signs it all the same. The MinGW runtime DLLs carry debug sections (19).
TEST_F(SetupKeys, TooManySectionsRefusedUnlessPlain) {
  const std::filesystem::path dll = "/usr/lib/gcc/i686-w64-mingw32/12-posix/libssp-0.dll";
  ASSERT_TRUE(std::filesystem::exists(dll)) << dll << " is missing (scripts/setup.sh installs "
                                            << "g++-mingw-w64-i686-posix)";
  auto refused = ztpack::SignSetup(*key_, {dll.string(), (dir_ / "v.dll").string(), "", false, {}});
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().find("at most 15"), std::string::npos) << refused.error();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "v.dll"));
  auto plain = ztpack::SignSetup(*key_, {dll.string(), (dir_ / "v.dll").string(), "", true, {}});
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_TRUE(Verify(dir_ / "v.dll").verified);
}

// ---------------------------------------------------------------------------------------------
// The command line.

TEST_F(SetupKeys, CommandLineSignAndVerify) {
  WriteFile(dir_ / "in.bin", std::string(4000, 'v'));
  const std::string d = dir_.path().string();
  ASSERT_EQ(testutil::RunZtpack("sign-setup --key " + kKeys + "/setup.key --in " + d +
                                "/in.bin --out " + d + "/out.bin")
                .exitCode,
            0);
  auto verify = [&](const std::string& extra) {
    testutil::RunResult r =
        testutil::RunZtpack("verify " + d + "/out.bin --setup-key " + kKeys +
                            "/setup.der --root-key " + kKeys + "/root.der " + extra);
    return std::make_pair(r.exitCode, r.out);
  };
  // Signed without a bundle: the signature holds, but an installer could not run it.
  auto [rc, line] = verify("");
  EXPECT_EQ(rc, 1) << line;
  EXPECT_NE(line.find("FAILED  bundle attachment IBND: Not found!"), std::string::npos) << line;
  EXPECT_NE(line.find("ok      setup signature   _SG2 valid under the setup key SHA256:"),
            std::string::npos)
      << line;
  EXPECT_NE(line.find(" (" + kKeys + "/setup.der) (plain pass)"), std::string::npos) << line;

  std::string bytes = ReadFile(dir_ / "out.bin");
  bytes[10] ^= 1;
  WriteFile(dir_ / "out.bin", bytes);
  std::tie(rc, line) = verify("");
  EXPECT_EQ(rc, 1);
  EXPECT_NE(line.find("FAILED  setup signature   not valid under the setup key"), std::string::npos)
      << line;

  // The help says how a setup program to be Authenticode-signed gets its bundle.
  testutil::RunResult help = testutil::RunZtpack("sign-setup --help");
  ASSERT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output().find("ztpack attach --type IBND"), std::string::npos);

  EXPECT_NE(testutil::RunZtpack("sign-setup --key " + kKeys + "/setup.der --in " + d +
                                "/in.bin --out " + d + "/x.bin")
                .exitCode,
            0)
      << "a public key cannot sign";
  EXPECT_FALSE(std::filesystem::exists(dir_ / "x.bin"));
}

}  // namespace
}  // namespace verify
