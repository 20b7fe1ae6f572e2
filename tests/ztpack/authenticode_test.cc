// The installer's Authenticode signature: what verify and inspect report for an unsigned, a
// signed and a signed-then-changed installer; the certificate table reader on hostile bytes;
// and make's [authenticode] signing with each kind of key, and its failures.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "author/authenticode_signer.h"
#include "author/pkcs11.h"
#include "read/authenticode.h"
#include "read/der.h"
#include "testutil/process.h"
#include "testutil/softhsm.h"
#include "worker/installer_fixture.h"

namespace worker_test {
namespace {

namespace fs = std::filesystem;
using Env = std::vector<std::pair<std::string, std::string>>;
using testutil::RunResult;

constexpr const char* kSubject = "CN=Release Signer, O=Acme Ltd, C=DE";
constexpr const char* kPin = "731904";
// Where the PE fixture's security entry lies (PE32, e_lfanew 0x80): its size field.
constexpr size_t kSecuritySizeField = 0x80 + 24 + 96 + 8 * 4 + 4;

class Authenticode : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_DEV_KEYS();
    fs::create_directories(dir_ / "payload");
    testutil::WriteFile(dir_ / "payload" / "install_script", "dep-silent,a.txt,a.txt\n");
    testutil::WriteFile(dir_ / "payload" / "a.txt", "a");
    testutil::WriteFile(dir_ / "stub.exe", testutil::KeyedStub());
    testutil::WriteFile(dir_ / "setup.sh", kReportingSetup);
    RunResult made = Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                          "-subj", "/C=DE/O=Acme Ltd/CN=Release Signer", "-keyout",
                          Path("cert.key"), "-out", Path("cert.pem")});
    ASSERT_EQ(made.exitCode, 0) << made.output();
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  RunResult Run(const std::vector<std::string>& argv, const Env& env = {}) const {
    testutil::RunOptions options;
    options.env = env;
    return testutil::RunProcess(argv, options);
  }
  RunResult Make(const std::string& sections, const Env& env = {}) const {
    testutil::WriteFile(dir_ / "m.toml",
                        "stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = \"silent\"\n"
                        "output = \"out.exe\"\n[payload]\nfolder = \"payload\"\n[keys]\n"
                        "dir = \"" ZT_DEV_KEYS_DIR "\"\n" +
                            sections);
    return Run({ZT_ZTPACK, "make", "-q", Path("m.toml")}, env);
  }
  RunResult Sign(const std::string& in, const std::string& out, const std::string& digest) const {
    return Run({"osslsigncode", "sign", "-h", digest, "-certs", Path("cert.pem"), "-key",
                Path("cert.key"), "-in", Path(in), "-out", Path(out)});
  }

  testutil::TempDir dir_;
};

TEST_F(Authenticode, VerifyAndInspectReportTheSignature) {
  ASSERT_EQ(Make("").exitCode, 0);
  struct Case {
    const char* name;
    const char* digest;  // nullptr: unsigned
    std::function<void(std::string&)> change;
    int verifyExit;
    std::string detail;  // part of verify's "authenticode" line
    bool digestMatches;
    bool read = true;  // the signature is read (its table lies inside the file)
  } cases[] = {
      {"unsigned", nullptr, nullptr, 0, "none (the installer is not signed)", false},
      {"sha256", "sha256", nullptr, 0,
       std::string("sha256, signer ") + kSubject + ", digest matches the file", true},
      {"sha1", "sha1", nullptr, 0, std::string("sha1, signer ") + kSubject, true},
      {"a byte of a section changed", "sha256", [](std::string& b) { b[0x410] ^= 1; }, 1,
       "digest does NOT match the file", false},
      {"bytes appended", "sha256", [](std::string& b) { b += "tail"; }, 1,
       "4 byte(s) follow the certificate table", true},
      {"table past the end", "sha256", [](std::string& b) { b[kSecuritySizeField] += 8; }, 1,
       "lies past the end of the file", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = std::string(c.name) + ".exe";
    if (c.digest == nullptr) {
      fs::copy_file(dir_ / "out.exe", dir_ / file);
    } else {
      RunResult sign = Sign("out.exe", file, c.digest);
      ASSERT_EQ(sign.exitCode, 0) << sign.output();
    }
    if (c.change) {
      std::string bytes = testutil::ReadFile(dir_ / file);
      c.change(bytes);
      testutil::WriteFile(dir_ / file, bytes);
    }
    RunResult verify = Run({ZT_ZTPACK, "verify", "-q", Path(file)});
    EXPECT_EQ(verify.exitCode, c.verifyExit) << verify.output();
    EXPECT_NE(verify.out.find(c.detail), std::string::npos) << verify.out;
    RunResult json = Run({ZT_ZTPACK, "verify", "-q", "--json", Path(file)});
    EXPECT_EQ(nlohmann::json::parse(json.out)["authenticode"]["present"], c.digest != nullptr);
    RunResult inspect = Run({ZT_ZTPACK, "inspect", "--json", Path(file)});
    ASSERT_EQ(inspect.exitCode, 0) << inspect.output();
    const nlohmann::json a = nlohmann::json::parse(inspect.out)["authenticode"];
    EXPECT_EQ(a["present"], c.digest != nullptr);
    if (c.digest != nullptr && c.read) {
      EXPECT_EQ(a["digest_algorithm"], c.digest);
      EXPECT_EQ(a["signer_subject"], kSubject);
      EXPECT_EQ(a["digest_matches"], c.digestMatches);
    }
  }
}

TEST_F(Authenticode, HostileCertificateTablesAreRefusedWithoutACrash) {
  ASSERT_EQ(Make("").exitCode, 0);
  ASSERT_EQ(Sign("out.exe", "signed.exe", "sha256").exitCode, 0);
  auto report = ztpack::ReadAuthenticode(Path("signed.exe"));
  ASSERT_TRUE(report.ok() && report->Sound()) << report.error();
  const std::string file = testutil::ReadFile(dir_ / "signed.exe");
  const std::vector<uint8_t> table(file.begin() + report->tableOffset, file.end());
  auto record = ztpack::FirstWinCertificate(table);
  ASSERT_TRUE(record.ok()) << record.error();
  const std::vector<uint8_t> der(record->begin(), record->end());

  // Every cut of the signature is refused: its outer length then runs past the end.
  for (size_t length = 0; length + 1 < der.size(); length += (length < 64 ? 1 : 97)) {
    EXPECT_FALSE(ztpack::ParseAuthenticodeSignedData({der.data(), length}).ok()) << length;
  }
  // Any single byte changed gives a result or an error, never a crash or a read outside.
  for (size_t at = 0; at < der.size(); at += 3) {
    std::vector<uint8_t> changed = der;
    changed[at] ^= 0xA5;
    (void)ztpack::ParseAuthenticodeSignedData(changed);
  }

  struct Row {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
    std::string error;
  } rows[] = {
      {"record header cut", [](auto& t) { t.resize(7); }, "holds no WIN_CERTIFICATE header"},
      {"dwLength 0", [](auto& t) { t[0] = t[1] = t[2] = t[3] = 0; }, "length 0 does not fit"},
      {"dwLength past the table", [](auto& t) { t[3] = 0x7F; }, "does not fit the table"},
      {"revision 1", [](auto& t) { t[5] = 0x01; }, "revision 0x0100"},
      {"X.509 type", [](auto& t) { t[6] = 0x01; }, "type 0x0001 is not PKCS_SIGNED_DATA"},
      {"indefinite length", [](auto& t) { t[9] = 0x80; }, "indefinite length"},
      {"five length bytes", [](auto& t) { t[9] = 0x85; }, "length of 5 bytes"},
      {"outer length past the record", [](auto& t) { ++t[10]; }, "exceeds the"},
      {"not SignedData", [](auto& t) { t[8 + 4 + 2 + 8] ^= 1; }, "is not SignedData"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> changed = table;
    row.change(changed);
    auto first = ztpack::FirstWinCertificate(changed);
    std::string error = first.ok() ? "" : first.error();
    if (first.ok()) {
      auto parsed = ztpack::ParseAuthenticodeSignedData(*first);
      error = parsed.ok() ? "" : parsed.error();
    }
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
  }
}

// DER of one element, and the parts of one.
std::string Element(uint8_t tag, const std::string& content) {
  std::string length;
  for (size_t n = content.size(); n > 0; n >>= 8) length.insert(length.begin(), char(n & 0xFF));
  if (content.size() < 0x80) return std::string{char(tag), char(content.size())} + content;
  return std::string{char(tag), char(0x80 | length.size())} + length + content;
}
std::string Whole(const ztpack::Tlv& t) { return std::string(t.whole.begin(), t.whole.end()); }
std::vector<ztpack::Tlv> Children(const ztpack::Tlv& parent) {
  std::vector<ztpack::Tlv> out;
  for (ztpack::Der d(parent); !d.AtEnd();) out.push_back(d.Next("child").value());
  return out;
}
ztpack::Tlv Top(const std::string& der) {
  return ztpack::Der({reinterpret_cast<const uint8_t*>(der.data()), der.size()}, 0)
      .Next("top")
      .value();
}

// A signer nobody verified is never named: a SignedData without a signature, beside a made-up
// certificate, fails verify; so do one whose certificate was swapped for another and one whose
// signature was changed. A table of 8 million certificates is refused by their count.
TEST_F(Authenticode, OnlyAVerifiedSignerIsNamed) {
  ASSERT_EQ(Make("").exitCode, 0);
  ASSERT_EQ(Sign("out.exe", "signed.exe", "sha256").exitCode, 0);
  ASSERT_EQ(Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                 "/CN=Forged Company", "-keyout", Path("f.key"), "-outform", "DER", "-out",
                 Path("f.der")})
                .exitCode,
            0);
  const std::string fakeCert = testutil::ReadFile(dir_ / "f.der");
  auto report = ztpack::ReadAuthenticode(Path("signed.exe"));
  ASSERT_TRUE(report.ok() && report->Sound()) << report.error();
  const std::string file = testutil::ReadFile(dir_ / "signed.exe");
  // ContentInfo { OID, [0] { SignedData { version, digests, content, [0] certs, signerInfos } } }
  const std::string record = file.substr(report->tableOffset + 8);
  const auto top = Children(Top(record));
  const auto sd = Children(Children(top[1])[0]);
  ASSERT_EQ(sd.size(), 5u);
  const auto signer = Children(Children(sd[4])[0]);  // version, sid, digest, [0], alg, signature
  ASSERT_EQ(signer.size(), 6u);
  auto signedData = [&](const std::string& certificates, const std::string& signerInfo) {
    return Element(
        0x30,
        Whole(top[0]) + Element(0xA0, Element(0x30, Whole(sd[0]) + Whole(sd[1]) + Whole(sd[2]) +
                                                        Element(0xA0, certificates) +
                                                        Element(0x31, signerInfo))));
  };
  const auto fakeTbs = Children(Children(Top(fakeCert))[0]);
  const std::string fakeSid = Element(0x30, Whole(fakeTbs[3]) + Whole(fakeTbs[1]));
  const std::string rsa = Element(0x30, Element(6, "\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01"));
  const std::string forged = signedData(
      fakeCert,
      Element(0x30, Element(2, "\x01") + fakeSid + Whole(signer[2]) + rsa + Element(4, "")));
  std::string badSignature = Whole(signer[0]) + Whole(signer[1]) + Whole(signer[2]) +
                             Whole(signer[3]) + Whole(signer[4]) + Whole(signer[5]);
  badSignature.back() ^= 1;
  const std::string realCerts = std::string(sd[3].content.begin(), sd[3].content.end());
  const std::pair<std::string, std::string> rows[] = {
      {forged, "the SignerInfo has no signed attributes"},
      {signedData(fakeCert, Whole(Children(sd[4])[0])),
       "the certificate the SignerInfo names is not among the 1 carried"},
      {signedData(realCerts, Element(0x30, badSignature)),
       "the signature does not verify with the key of the certificate it names"},
  };
  for (const auto& [der, problem] : rows) {
    auto parsed = ztpack::ParseAuthenticodeSignedData(Top(der).whole);
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    EXPECT_FALSE(parsed->signatureVerified);
    EXPECT_EQ(parsed->signerSubject, "");
    EXPECT_EQ(parsed->signatureProblem, problem);
  }

  // The forged SignedData as the installer's certificate table: verify fails and names nobody.
  std::string table = forged + std::string(7 - (forged.size() + 7) % 8, '\0');
  const uint32_t length = static_cast<uint32_t>(8 + table.size());
  table = std::string{char(length), char(length >> 8), char(length >> 16), 0, 0, 2, 2, 0} + table;
  std::string forgedFile = file.substr(0, report->tableOffset) + table;
  forgedFile.replace(kSecuritySizeField, 4, table.substr(0, 4));
  testutil::WriteFile(dir_ / "forged.exe", forgedFile);
  RunResult verify = Run({ZT_ZTPACK, "verify", "-q", Path("forged.exe")});
  EXPECT_EQ(verify.exitCode, 1) << verify.out;
  EXPECT_NE(verify.out.find("sha256, signature unverified (the SignerInfo has no signed "
                            "attributes), no signer named, digest matches the file"),
            std::string::npos)
      << verify.out;
  EXPECT_EQ(verify.out.find("Forged Company"), std::string::npos) << verify.out;

  std::string many;
  for (int i = 0; i < 8000000; ++i) many += std::string("\x30\x00", 2);
  const std::string huge = signedData(many, Whole(Children(sd[4])[0]));
  auto parsed = ztpack::ParseAuthenticodeSignedData(Top(huge).whole);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), "SignedData carries more than 64 certificates");
}

TEST_F(Authenticode, MakeSignsWithEachKindOfKeyOrFailsLeavingNothing) {
  RunResult pfx = Run({"openssl", "pkcs12", "-export", "-in", Path("cert.pem"), "-inkey",
                       Path("cert.key"), "-passout", "pass:pfx-secret", "-out", Path("cert.pfx")});
  ASSERT_EQ(pfx.exitCode, 0) << pfx.output();
  RunResult other =
      Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
           "/CN=Someone Else", "-keyout", Path("other.key"), "-out", Path("other.pem")});
  ASSERT_EQ(other.exitCode, 0) << other.output();
  testutil::SoftHsmToken token("release", kPin);
  ASSERT_TRUE(token.Import(Path("cert.key"), "authenticode", "01")) << token.error();
  testutil::WriteFile(dir_ / "pin", std::string(kPin) + "\n");
  Env hsm = token.Env();
  Env hsmWithPin = hsm;
  hsmWithPin.push_back({"ZTPACK_PKCS11_PIN", kPin});
  Env hsmWrongPin = hsm;
  hsmWrongPin.push_back({"ZTPACK_PKCS11_PIN", "000000"});
  const std::string files = "[authenticode]\ncertificate = \"cert.pem\"\nkey = \"cert.key\"\n";
  const std::string pkcs12 = "[authenticode]\npkcs12 = \"cert.pfx\"\npassword_env = \"ZT_PFX\"\n";
  const std::string tokenKey = "[pkcs11]\nmodule = \"" +
                               std::string(testutil::SoftHsmToken::kModule) +
                               "\"\n[authenticode]\ncertificate = \"cert.pem\"\nkey = "
                               "\"pkcs11:token=release;object=authenticode";

  struct Case {
    const char* name;
    std::string sections;
    Env env;
    int exit;
    std::string message;  // part of the output
  } cases[] = {
      {"certificate and key files", files + "description = \"App\"\n", {}, 0, ""},
      {"pkcs12 and password_env", pkcs12, {{"ZT_PFX", "pfx-secret"}}, 0, ""},
      {"token key, PIN from the environment", tokenKey + "\"\n", hsmWithPin, 0, ""},
      {"token key, PIN from pin-source", tokenKey + "?pin-source=file:" + Path("pin") + "\"\n", hsm,
       0, ""},
      {"osslsigncode missing",
       files,
       {{"ZTPACK_OSSLSIGNCODE", "/nonexistent"}},
       1,
       "osslsigncode not found: $ZTPACK_OSSLSIGNCODE names \"/nonexistent\""},
      {"wrong pkcs12 password", pkcs12, {{"ZT_PFX", "wrong"}}, 1, "osslsigncode sign failed"},
      {"password variable not set", pkcs12, {}, 1, "the environment variable ZT_PFX"},
      {"wrong PIN", tokenKey + "\"\n", hsmWrongPin, 1, "osslsigncode sign failed"},
      {"no PIN", tokenKey + "\"\n", hsm, 1, "no PIN: give pin-source"},
      {"PIN in the URI", tokenKey + "?pin-value=" + kPin + "\"\n", hsm, 1, "pin-value"},
      {"ca_file that does not anchor the certificate",
       files + "ca_file = \"other.pem\"\n",
       {},
       1,
       "osslsigncode verify refused the signed installer"},
      {"key without certificate",
       "[authenticode]\nkey = \"cert.key\"\n",
       {},
       1,
       "[authenticode] names no \"certificate\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir_ / "out.exe");
    RunResult made = Make(c.sections, c.env);
    EXPECT_EQ(made.exitCode, c.exit) << made.output();
    EXPECT_NE(made.output().find(c.message), std::string::npos) << made.output();
    EXPECT_EQ(made.output().find(kPin), std::string::npos) << "the PIN was printed";
    EXPECT_EQ(fs::exists(dir_ / "out.exe"), c.exit == 0);
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      EXPECT_EQ(e.path().filename().string().rfind(".ztpack-make-", 0), std::string::npos);
    }
    if (c.exit != 0) continue;
    auto report = ztpack::ReadAuthenticode(Path("out.exe"));
    ASSERT_TRUE(report.ok()) << report.error();
    EXPECT_TRUE(report->Sound()) << ztpack::DescribeAuthenticode(*report);
    EXPECT_EQ(report->signedData.signerSubject, kSubject);
  }

  // With a fixed signing time (inside the certificate's validity) two makes give the same bytes.
  const std::string epoch = std::to_string(std::time(nullptr) + 60);
  std::string first;
  for (int run = 0; run < 2; ++run) {
    RunResult made = Make(files, {{"SOURCE_DATE_EPOCH", epoch}});
    ASSERT_EQ(made.exitCode, 0) << made.output();
    if (run == 0) first = testutil::ReadFile(dir_ / "out.exe");
  }
  EXPECT_EQ(testutil::ReadFile(dir_ / "out.exe"), first);
}

TEST_F(Authenticode, ManifestSectionMistakesAreRefused) {
  testutil::WriteFile(dir_ / "cert.pfx", "not really a pfx");
  testutil::WriteFile(dir_ / "module.so", "");
  const std::string head =
      "stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = \"silent\"\noutput = \"o.exe\"\n";
  const std::string keys = "[keys]\ndir = \"" ZT_DEV_KEYS_DIR "\"\n";
  const std::string folder = "[payload]\nfolder = \"payload\"\n";
  struct Case {
    std::string manifest;
    std::string error;  // part of the error; "" : accepted
  } cases[] = {
      {folder + "[authenticode]\npkcs12 = \"cert.pfx\"\npassword_env = \"P\"\n", ""},
      {folder + "[pkcs11]\nmodule = \"module.so\"\n[authenticode]\ncertificate = \"cert.pem\"\n"
                "key = \"pkcs11:object=a\"\n",
       ""},
      {folder + "[authenticode]\ncertificate = \"cert.pem\"\nkey = \"cert.key\"\n"
                "pkcs12 = \"cert.pfx\"\n",
       "takes either \"certificate\" and \"key\", or \"pkcs12\""},
      {folder + "[authenticode]\n", "takes either"},
      {folder + "[authenticode]\ncertificate = \"cert.pem\"\n", "names no \"key\""},
      {folder + "[authenticode]\npkcs12 = \"cert.pfx\"\npassword = \"x\"\n",
       ":9: unknown key \"password\" in [authenticode]"},
      {folder + "[authenticode]\ncertificate = \"nothere.pem\"\nkey = \"cert.key\"\n",
       "nothere.pem: not a readable file"},
      {folder + "[authenticode]\ncertificate = \"cert.pem\"\nkey = \"pkcs11:object=a\"\n"
                "password_env = \"P\"\n",
       "not from \"password_env\""},
      {folder + "[pkcs11]\nmodule = \"nothere.so\"\n", "nothere.so: not a readable file"},
      {"authenticode = 1\n" + folder, "\"authenticode\" must be a table"},
      // The signing key must never ship: not even a PKCS#12 file, whose content is not
      // recognised as a key.
      {"[payload]\nscript = \"payload/install_script\"\nfiles = { \"c\" = \"cert.pfx\" }\n"
       "[authenticode]\npkcs12 = \"cert.pfx\"\n",
       "is the private key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manifest);
    testutil::WriteFile(dir_ / "m.toml", head + c.manifest + keys);
    auto manifest = ztpack::LoadManifest(Path("m.toml"));
    EXPECT_EQ(manifest.ok(), c.error.empty()) << (manifest.ok() ? "" : manifest.error());
    if (!manifest.ok()) {
      EXPECT_NE(manifest.error().find(c.error), std::string::npos) << manifest.error();
    }
  }
}

TEST(AuthenticodePin, UriLosesItsPinAttributesOnly) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "pin file", "1234\r\n");
  const std::string source = "pin-source=file:" + (dir / "pin%20file").string();
  struct Case {
    std::string uri, stripped;
    bool hasPin;
  } cases[] = {
      {"pkcs11:token=a;object=b", "pkcs11:token=a;object=b", false},
      {"pkcs11:token=a;object=b?" + source, "pkcs11:token=a;object=b", true},
      {"pkcs11:token=a;" + source + ";object=b", "pkcs11:token=a;object=b", true},
      {"pkcs11:object=b?module-name=x&" + source, "pkcs11:object=b?module-name=x", true},
      {"PKCS11:;token=a;;object=b?&" + source + "&", "pkcs11:token=a;object=b", true},
  };
  for (const Case& c : cases) {
    auto split = ztpack::SplitPkcs11Pin(c.uri);
    ASSERT_TRUE(split.ok()) << c.uri << ": " << split.error();
    EXPECT_EQ(split->uri, c.stripped);
    EXPECT_EQ(split->hasPin, c.hasPin);
    EXPECT_EQ(split->pin, c.hasPin ? "1234" : "");
    // The same reading finds the pin-source file for the manifest's secret list.
    EXPECT_EQ(ztpack::PinSourceOf(c.uri), c.hasPin ? "file:" + (dir / "pin file").string() : "");
  }
  EXPECT_FALSE(ztpack::SplitPkcs11Pin("pkcs11:object=b?pin-value=1234").ok());
  EXPECT_EQ(ztpack::Pkcs11UriForMessages("pkcs11:pin-value=1234;object=b?pin-value=99&x=y"),
            "pkcs11:pin-value=...;object=b?pin-value=...&x=y");
}

}  // namespace
}  // namespace worker_test
