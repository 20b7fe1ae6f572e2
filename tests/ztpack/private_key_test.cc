// Private keys among payload files: every key shape is found, in whatever pieces the bytes come;
// quoting a PEM header is not a key; and an author ships a named file on purpose.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "author/manifest.h"
#include "author/private_key_scan.h"
#include "testutil/pe_fixture.h"
#include "testutil/process.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string ScanInPieces(const std::string& bytes, size_t split, size_t piece) {
  ztpack::PrivateKeyScanner scanner;
  scanner.Feed(std::string_view(bytes).substr(0, split));
  for (size_t at = split; at < bytes.size(); at += piece) {
    scanner.Feed(std::string_view(bytes).substr(at, piece));
  }
  return scanner.Finish();
}

// A PEM armour line for a private key of the given kind ("" for PKCS#8), built here so that no
// key header stands in the source as it is.
std::string Armor(const std::string& edge, const std::string& kind) {
  return "-----" + edge + " " + (kind.empty() ? "" : kind + " ") + "PRIVATE KEY-----";
}

// Key files of every kind, made by openssl and ssh-keygen; and a compiled Python module that
// quotes the header text, as the `cryptography` package's do.
class KeyShapes : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_DEV_KEYS();
    if (!testutil::HaveCommand("ssh-keygen")) GTEST_SKIP() << "ssh-keygen missing";
    testutil::WriteFile(dir_ / "ssh.py",
                        "START = b'" + Armor("BEGIN", "OPENSSH") + "'\n" + "END = b'" +
                            Armor("END", "OPENSSH") + "'\n" + "PEM = '" + Armor("BEGIN", "RSA") +
                            "\\n%s\\n" + Armor("END", "RSA") + "\\n'\n" + "DOC = '''" +
                            Armor("BEGIN", "") + "\nMIIE\n" + Armor("END", "") + "'''\n");
    const testutil::RunResult made = testutil::Shell(
        "set -e; cd '" + dir_.path().string() +
        "'; o=openssl; p='-passout pass:pw'\n"
        "r=" ZT_DEV_KEYS_DIR
        "/bundle.key\n"
        "$o genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.p8.pem 2>/dev/null\n"
        "$o pkcs8 -topk8 -nocrypt -in ec.p8.pem -outform DER -out ec.p8.der\n"
        "$o ec -in ec.p8.pem -out ec.sec1.pem 2>/dev/null\n"
        "$o ec -in ec.p8.pem -outform DER -out ec.sec1.der 2>/dev/null\n"
        "$o pkcs8 -topk8 -in ec.p8.pem $p -out ec.epki.pem\n"
        "$o pkcs8 -topk8 -in ec.p8.pem $p -outform DER -out ec.epki.der\n"
        "$o rsa -in $r -traditional -out rsa.p1.pem 2>/dev/null\n"
        "$o rsa -in $r -traditional -outform DER -out rsa.p1.der 2>/dev/null\n"
        "$o rsa -in $r -traditional -aes128 $p -out rsa.legacy.pem 2>/dev/null\n"
        "$o req -x509 -key ec.p8.pem -subj /CN=t -days 1 -out ec.crt\n"
        "$o pkcs12 -export -in ec.crt -inkey ec.p8.pem $p -out ec.p12\n"
        "$o pkey -in ec.p8.pem -pubout -out ec.pub.pem\n"
        "ssh-keygen -q -t ed25519 -N '' -C '' -f ssh\n"
        "python3 -c \"import py_compile; py_compile.compile('ssh.py', 'ssh.pyc', doraise=True)\"");
    ASSERT_EQ(made.exitCode, 0) << made.output();
  }
  std::string Read(const std::string& name) const { return testutil::ReadFile(dir_ / name); }

  testutil::TempDir dir_;
};

TEST_F(KeyShapes, EveryShapeIsFoundInAnyPiecesAndMentionsAreNot) {
  const std::string pem = Read("ec.sec1.pem");
  const std::string cut = pem.substr(0, pem.find("-----END"));
  std::string renamed = pem;
  renamed.replace(renamed.rfind("EC PRIVATE"), 2, "XX");
  std::string certAsKey = Read("ec.crt");
  certAsKey.replace(certAsKey.find("CERTIFICATE"), 11, "PRIVATE KEY");
  certAsKey.replace(certAsKey.rfind("CERTIFICATE"), 11, "PRIVATE KEY");
  std::string falseStart = Armor("BEGIN", "") + "\n";
  while (falseStart.size() <= ztpack::PrivateKeyScanner::kMaxPemBlock) {
    falseStart += std::string(64, 'A') + "\n";
  }
  struct Case {
    const char* name;
    std::string bytes;
    std::string kind;  // "" : no key
  } cases[] = {
      {"PKCS#8 PEM", Read("ec.p8.pem"), "a PEM \"PRIVATE KEY\" block"},
      {"PKCS#1 PEM", Read("rsa.p1.pem"), "a PEM \"RSA PRIVATE KEY\" block"},
      {"legacy encrypted PEM", Read("rsa.legacy.pem"), "a PEM \"RSA PRIVATE KEY\" block"},
      {"SEC1 PEM inside text", "text\r\n" + pem + "more text\n", "a PEM \"EC PRIVATE KEY\" block"},
      {"encrypted PKCS#8 PEM", Read("ec.epki.pem"), "a PEM \"ENCRYPTED PRIVATE KEY\" block"},
      {"OpenSSH", Read("ssh"), "a PEM \"OPENSSH PRIVATE KEY\" block"},
      {"key behind a certificate", Read("ec.crt") + Read("ec.p8.pem"),
       "a PEM \"PRIVATE KEY\" block"},
      {"PKCS#8 DER", Read("ec.p8.der"), "DER PKCS#8 PrivateKeyInfo"},
      {"PKCS#1 DER", Read("rsa.p1.der"), "DER PKCS#1 RSAPrivateKey"},
      {"SEC1 DER", Read("ec.sec1.der"), "DER SEC1 ECPrivateKey"},
      {"encrypted PKCS#8 DER", Read("ec.epki.der"), "DER PKCS#8 EncryptedPrivateKeyInfo"},
      {"PKCS#12", Read("ec.p12"), "DER PKCS#12 PFX"},
      {"compiled module quoting the headers", Read("ssh.pyc"), ""},
      {"public key and certificate", Read("ec.pub.pem") + Read("ec.crt"), ""},
      {"no END line", cut, ""},
      {"END of another label", renamed, ""},
      {"a certificate under a key label", certAsKey, ""},
      {"DER with a byte behind", Read("ec.sec1.der") + "x", ""},
      {"a false start past the bound, then a key", falseStart + pem,
       "a PEM \"EC PRIVATE KEY\" block"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ScanInPieces(c.bytes, c.bytes.size(), 1), c.kind);
    EXPECT_EQ(ScanInPieces(c.bytes, 0, 1), c.kind);
    EXPECT_EQ(ScanInPieces(c.bytes, 0, 7), c.kind);
  }
  // A block cut between two pieces at every offset, far into a file.
  const std::string text = std::string(100000, '-') + "\n" + pem + std::string(1000, 'z');
  for (size_t split = 100000; split < 100000 + pem.size() + 2; ++split) {
    ASSERT_EQ(ScanInPieces(text, split, text.size()), "a PEM \"EC PRIVATE KEY\" block") << split;
  }
}

// make and bundle: a quoting module ships; a test vector ships when named and is refused when
// not; a name that matches no entry, or a release key named, is still refused.
TEST_F(KeyShapes, AuthorShipsNamedKeysOnPurpose) {
  const std::string keys = ZT_DEV_KEYS_DIR;
  const fs::path payload = dir_ / "payload";
  fs::create_directories(payload / "lib/__pycache__");
  fs::create_directories(payload / "lib/tests");
  fs::copy_file(dir_ / "ssh.pyc", payload / "lib/__pycache__/ssh.cpython-311.pyc");
  testutil::WriteFile(payload / "lib/tests/keycert.pem", Read("ec.crt") + Read("ec.p8.pem"));
  testutil::WriteFile(payload / "install_script", "dep-silent,lib/tests/keycert.pem,k.pem\n");
  testutil::WriteFile(dir_ / "stub.exe", testutil::KeyedStub());
  testutil::WriteFile(dir_ / "setup", "setup");
  const std::string shipped =
      "private key shipped on purpose: entry \"lib/tests/keycert.pem\" holds a PEM \"PRIVATE "
      "KEY\" block";
  struct Case {
    const char* name;
    std::string payloadTable;
    int exit;
    std::string output;
  } cases[] = {
      {"not named", "folder = 'payload'", 1,
       "lib/tests/keycert.pem holds a private key (a PEM \"PRIVATE KEY\" block)"},
      {"named", "folder = 'payload'\nallow_private_keys = ['lib/tests/keycert.pem']", 0, shipped},
      {"named wrongly", "folder = 'payload'\nallow_private_keys = ['tests/keycert.pem']", 1,
       "allow_private_keys names \"tests/keycert.pem\", which is no entry of the payload"},
      {"a release key named",
       "script = 'payload/install_script'\nfiles = { 'k' = '" + keys +
           "/root.key' }\nallow_private_keys = ['k']",
       1, "is the private key " + keys + "/root.key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::WriteFile(dir_ / "m.toml",
                        "stub = 'stub.exe'\nsetup = 'setup'\nmode = 'silent'\n"
                        "output = 'o.exe'\n[payload]\n" +
                            c.payloadTable + "\n[keys]\ndir = '" + keys + "'\n");
    const testutil::RunResult made = testutil::RunZtpack("make -q " + (dir_ / "m.toml").string());
    EXPECT_EQ(made.exitCode, c.exit) << made.output();
    EXPECT_NE(made.output().find(c.output), std::string::npos) << made.output();
  }

  const std::string cert = (dir_ / "cert").string();
  ASSERT_EQ(testutil::RunZtpack("certify --root-key " + keys + "/root.key --public " + keys +
                                "/bundle.der --goal IBND --out " + cert)
                .exitCode,
            0);
  const std::string bundle = "bundle -q --script " + (payload / "install_script").string() +
                             " --dir " + payload.string() + " --key " + keys +
                             "/bundle.key --cert " + cert + " --out " + (dir_ / "b").string();
  testutil::RunResult refused = testutil::RunZtpack(bundle);
  EXPECT_EQ(refused.exitCode, 1) << refused.output();
  EXPECT_FALSE(fs::exists(dir_ / "b"));
  testutil::RunResult allowed =
      testutil::RunZtpack(bundle + " --allow-private-key lib/tests/keycert.pem");
  EXPECT_EQ(allowed.exitCode, 0) << allowed.output();
  EXPECT_NE(allowed.out.find(shipped), std::string::npos) << allowed.output();
}

}  // namespace
