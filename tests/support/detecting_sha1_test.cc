#include <gtest/gtest.h>

#include <cryptopp/filters.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/detecting_sha1.h"
#include "testutil/collision.h"
#include "testutil/digest.h"
#include "worker/installer_fixture.h"

namespace {

using support::DetectingSha1;

struct Hashed {
  std::string digest;
  std::optional<uint64_t> collision;
};

// Feeds `data` in pieces of the given sizes, cycled; returns the digest and the detection.
Hashed Hash(const std::string& data, const std::vector<size_t>& pieces) {
  DetectingSha1 sha;
  size_t at = 0;
  for (size_t i = 0; at < data.size(); ++i) {
    const size_t n = std::min(pieces[i % pieces.size()], data.size() - at);
    sha.Update(reinterpret_cast<const CryptoPP::byte*>(data.data()) + at, n);
    at += n;
  }
  std::string digest(DetectingSha1::DIGESTSIZE, '\0');
  std::optional<uint64_t> collision =
      sha.FinalChecked(reinterpret_cast<CryptoPP::byte*>(digest.data()));
  return {testutil::Hex(digest), collision};
}

std::string CryptoppSha1(const std::string& data) { return testutil::Sha1Hex(data); }

const std::vector<std::vector<size_t>> kPieceSizes = {{1 << 30},         {1},     {63}, {64}, {65},
                                                      {3, 61, 4096 + 7}, {200000}};

// The same digest as Crypto++'s SHA-1 for messages that are no attack, however they are fed:
// random lengths around the block and padding edges, and real files.
TEST(DetectingSha1, EqualsSha1ForEveryOtherMessage) {
  std::mt19937 gen(27);
  std::vector<std::string> messages = {"", "abc"};
  for (size_t length : {55, 56, 63, 64, 65, 119, 120, 128, 100000}) {
    std::string m(length, '\0');
    for (char& c : m) c = static_cast<char>(gen());
    messages.push_back(m);
  }
  messages.push_back(testutil::ReadFile(ZT_SOURCE_DIR "/InstallerLogic/bundle/scramble_table.bin"));
  messages.push_back(testutil::ReadFile(ZT_ZTPACK).substr(0, 3 << 20));  // a real program
  // The collision file with its two colliding blocks cut out is an ordinary PDF's bytes.
  const std::string pdf = testutil::ShatteredPdf();
  messages.push_back(pdf.substr(0, 0xC0) + pdf.substr(0x140));
  for (const std::string& m : messages) {
    for (const auto& pieces : kPieceSizes) {
      if (m.size() > 200000 && pieces.front() == 1) continue;  // byte by byte only for small ones
      Hashed h = Hash(m, pieces);
      EXPECT_EQ(h.digest, CryptoppSha1(m)) << m.size() << " bytes, pieces of " << pieces.front();
      EXPECT_FALSE(h.collision) << m.size() << " bytes";
    }
  }
}

// shattered-1.pdf is flagged at its colliding block however it is fed, its digest still SHA-1's.
// Its blocks collide only after its own first bytes: behind other bytes, or with one of those
// changed, they are no attack and are not flagged.
TEST(DetectingSha1, FlagsTheShatteredPdfAtItsBlock) {
  const std::string pdf = testutil::ShatteredPdf();
  ASSERT_EQ(CryptoppSha1(pdf), testutil::kShatteredSha1);
  for (const auto& pieces : kPieceSizes) {
    Hashed h = Hash(pdf, pieces);
    ASSERT_TRUE(h.collision) << "pieces of " << pieces.front();
    EXPECT_EQ(*h.collision, testutil::kShatteredBlock);
    EXPECT_EQ(h.digest, testutil::kShatteredSha1);
  }
  std::string changed = pdf;
  changed[0x10] ^= 1;
  for (const std::string& other : {std::string(64, 'x') + pdf, changed}) {
    Hashed h = Hash(other, {4096});
    EXPECT_FALSE(h.collision);
    EXPECT_EQ(h.digest, CryptoppSha1(other));
  }
}

// As the hash of the RSA PKCS #1 v1.5 verifier it gives the SHA-1 verifier's results, through the
// filter the checks use; over half of a collision it raises, even under a signature that the
// plain verifier accepts.
TEST(DetectingSha1, VerifiesAsTheSha1VerifierAndRefusesTheCollision) {
  const auto& key = worker_test::DevKeys::Get().bundle;
  const CryptoPP::RSA::PublicKey pub(key);
  auto verify = [&](auto verifier, const std::string& message, const std::string& signature) {
    std::string outcome = "valid";
    try {
      CryptoPP::SignatureVerificationFilter filter(
          verifier, nullptr, CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION);
      filter.Put(reinterpret_cast<const CryptoPP::byte*>(message.data()), message.size());
      filter.Put(reinterpret_cast<const CryptoPP::byte*>(signature.data()), signature.size());
      filter.MessageEnd();
    } catch (const std::exception& e) {
      outcome = e.what();
    }
    return outcome;
  };
  using Plain = CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier;
  using Detecting = CryptoPP::RSASS<CryptoPP::PKCS1v15, DetectingSha1>::Verifier;
  std::mt19937 gen(5);
  for (size_t length : {0, 1, 64, 1000, 70000}) {
    std::string message(length, '\0');
    for (char& c : message) c = static_cast<char>(gen());
    const std::string good = testutil::SignWithoutDetection(key, message);
    std::string bad = good;
    bad[length % bad.size()] ^= 0x10;
    for (const std::string& signature : {good, bad, good.substr(1), good + "x"}) {
      EXPECT_EQ(verify(Detecting(pub), message, signature), verify(Plain(pub), message, signature))
          << length;
    }
    EXPECT_EQ(verify(Detecting(pub), message, good), "valid");
  }
  const std::string pdf = testutil::ShatteredPdf();
  const std::string signature = testutil::SignWithoutDetection(key, pdf);
  EXPECT_EQ(verify(Plain(pub), pdf, signature), "valid");
  EXPECT_EQ(verify(Detecting(pub), pdf, signature),
            "SHA-1 collision attack detected in block at 0x100");
}

}  // namespace
