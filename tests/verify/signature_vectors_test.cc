// Known-answer tests of the two RSA PKCS#1 v1.5 / SHA-1 checks against the NIST SigVer vectors
// that Debian packages (python3-cryptography-vectors): valid signatures, and the negatives with
// a changed message, signature or exponent (e = 17 for a key of e = 3) and with malformed
// padding. Every SHA-1 case goes through the very calls the installer makes: the setup
// program's check on a file that carries the message and a `_SG2` document, and the bundle's
// root-key check of a public key block made of the message.
#include <gtest/gtest.h>

#include <cryptopp/integer.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "author/attachment_writer.h"
#include "bundle/bundle_reader_impl.h"
#include "support/byte_reader.h"
#include "testutil/capture.h"
#include "testutil/temp_dir.h"
#include "verify/setup_signature.h"

namespace {

const char kVectorDir[] = "/usr/lib/python3/dist-packages/cryptography_vectors/asymmetric/RSA";

struct Vector {
  std::string where;         // file:line, for failure messages
  std::string n, e, msg, s;  // hexadecimal
  bool valid = false;
};

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The SHA-1 records of a CAVS SigVer response file. The modulus is stated once per [mod]
// section; every record repeats e, Msg, S and Result.
std::vector<Vector> ReadSigVer(const std::string& path) {
  std::vector<Vector> vectors;
  std::ifstream in(path);
  std::string line, n, alg;
  Vector current;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
    if (key == "n") n = value;
    if (key == "SHAAlg") alg = value;
    if (key == "e") current.e = value;
    if (key == "Msg") current.msg = value;
    if (key == "S") current.s = value;
    if (key == "Result" && alg == "SHA1") {
      current.n = n;
      current.valid = value.rfind("P", 0) == 0;
      current.where =
          std::filesystem::path(path).filename().string() + ":" + std::to_string(number);
      vectors.push_back(current);
    }
  }
  return vectors;
}

std::string PublicKeyDer(const std::string& n, const std::string& e) {
  CryptoPP::RSA::PublicKey key;
  key.Initialize(CryptoPP::Integer(("0x" + n).c_str()), CryptoPP::Integer(("0x" + e).c_str()));
  std::string der;
  CryptoPP::StringSink sink(der);
  key.DEREncode(sink);
  return der;
}

// The setup program's check: the message, then a `_SG2` document holding the signature.
bool SetupCheckAccepts(const Vector& v, const testutil::TempDir& dir) {
  const std::filesystem::path file = dir / "setup.bin";
  testutil::WriteFile(file, Unhex(v.msg));
  auto status = ztpack::AppendAttachments(
      file.string(), {ztpack::AttachmentInput{"_SG2", "{\"sign\":\"" + v.s + "\"}", ""}});
  EXPECT_TRUE(status.ok()) << status.error();
  return verify::VerifySetupSignatureWithKey(file.u16string(), PublicKeyDer(v.n, v.e));
}

// The bundle's root-key check: a public key block whose signed bytes (goal tag, expiry, key
// bytes) are the message. The key bytes are no key, so a block whose signature verifies is then
// refused for that, with its own trace line.
bool RootCheckAccepts(const Vector& v) {
  const std::string msg = Unhex(v.msg), signature = Unhex(v.s);
  if (msg.size() < 8) return false;
  std::string block = msg.substr(0, 8);
  auto put32 = [&block](size_t value) {
    for (int i = 0; i < 4; ++i) block.push_back(static_cast<char>(value >> (8 * i)));
  };
  put32(msg.size() - 8);
  block += msg.substr(8);
  put32(signature.size());
  block += signature;
  testutil::DebugCapture capture;
  auto key = bundle::ParsePublicKeyBlock(reinterpret_cast<const uint8_t*>(block.data()),
                                         block.size(), msg.substr(0, 4), PublicKeyDer(v.n, v.e));
  EXPECT_EQ(key, nullptr);
  const std::string trace = capture.joined();
  EXPECT_TRUE(trace.find("Public key sign is not valid") != std::string::npos ||
              trace.find("Bundle key is not an RSA public key") != std::string::npos)
      << v.where << ": " << trace;
  return trace.find("Bundle key is not an RSA public key") != std::string::npos;
}

TEST(SignatureVectors, NistSigVerThroughBothChecks) {
  ASSERT_TRUE(std::filesystem::is_directory(kVectorDir))
      << kVectorDir << " is missing: the signature test vectors come from the Debian package "
      << "python3-cryptography-vectors; run scripts/setup.sh";
  std::vector<Vector> vectors =
      ReadSigVer(std::string(kVectorDir) + "/FIPS_186-2/SigVer15_186-3.rsp");
  const size_t nist = vectors.size();
  std::vector<Vector> padding = ReadSigVer(std::string(kVectorDir) + "/SigVer15EMTest.txt");
  vectors.insert(vectors.end(), padding.begin(), padding.end());
  // What the files hold today; far fewer would mean they were not read as meant.
  ASSERT_GE(nist, 90u);
  ASSERT_GE(padding.size(), 2u);

  testutil::TempDir dir;
  size_t valid = 0, exponent17 = 0;
  for (const Vector& v : vectors) {
    EXPECT_EQ(SetupCheckAccepts(v, dir), v.valid) << v.where << " (setup check)";
    EXPECT_EQ(RootCheckAccepts(v), v.valid) << v.where << " (bundle root check)";
    valid += v.valid;
    exponent17 +=
        v.e.find_first_not_of('0') == v.e.size() - 2 && v.e.substr(v.e.size() - 2) == "11";
  }
  // Both kinds are there: good signatures and bad ones, among them keys of exponent 17.
  EXPECT_GT(valid, 0u);
  EXPECT_GT(vectors.size() - valid, 0u);
  EXPECT_GT(exponent17, 0u);
}

}  // namespace
