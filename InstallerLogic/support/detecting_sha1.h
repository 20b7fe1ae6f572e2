// SHA-1 with collision detection, for every digest that a signature or a binding rests on.
//
// The signatures and bindings of this system are RSA PKCS #1 v1.5 over SHA-1, a format that
// installers in the field read, and SHA-1 collisions can be bought. What can be done without a
// new format is to notice the attack: a message that is one half of a collision made by the known
// differential attacks carries near-collision blocks, and counter-cryptanalysis (the sha1dc
// code by Marc Stevens and Dan Shumow, MIT licence, taken from Debian's git source package) finds
// them while hashing. For every other message the digest is plain SHA-1.
//
// DetectingSha1 is a Crypto++ hash, so that RSASS<PKCS1v15, DetectingSha1> verifies and signs
// exactly as RSASS<PKCS1v15, SHA1> does; its Final raises Sha1CollisionDetected instead of
// handing out the digest of such a message, so no check can pass over one. The offset it names
// is that of the first 64-byte block of the message in which the attack shows.
#pragma once

#include <cryptopp/cryptlib.h>
#include <cryptopp/pkcspad.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace support {

class Sha1CollisionDetected : public CryptoPP::Exception {
 public:
  explicit Sha1CollisionDetected(uint64_t blockOffset);
  uint64_t blockOffset() const { return blockOffset_; }

 private:
  uint64_t blockOffset_;
};

class DetectingSha1 : public CryptoPP::HashTransformation {
 public:
  static constexpr unsigned int DIGESTSIZE = 20;
  static constexpr unsigned int BLOCKSIZE = 64;
  static const char* StaticAlgorithmName() { return "SHA-1"; }

  DetectingSha1();
  ~DetectingSha1() override;
  DetectingSha1(const DetectingSha1&) = delete;
  DetectingSha1& operator=(const DetectingSha1&) = delete;

  void Update(const CryptoPP::byte* input, size_t length) override;
  // Raises Sha1CollisionDetected when an attack was found; restarts either way.
  void TruncatedFinal(CryptoPP::byte* digest, size_t digestSize) override;
  void Restart() override;
  unsigned int DigestSize() const override { return DIGESTSIZE; }
  unsigned int BlockSize() const override { return BLOCKSIZE; }
  unsigned int OptimalBlockSize() const override { return BLOCKSIZE; }
  std::string AlgorithmName() const override { return StaticAlgorithmName(); }

  // The same end without an exception: the SHA-1 in `digest`, and the offset of the first
  // colliding block when there is one.
  std::optional<uint64_t> FinalChecked(CryptoPP::byte digest[DIGESTSIZE]);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The trace line of a detected attack: "SHA-1 collision attack detected in block at 0x... in
// <what>\n". The offset is a file offset of `what`.
void TraceCollision(uint64_t fileOffset, const std::string& what);
// The same words without the line break, for messages.
std::string CollisionText(uint64_t offset);

}  // namespace support

namespace CryptoPP {
// The DigestInfo prefix of SHA-1 in PKCS #1 v1.5 signatures: the same bytes as for SHA1.
template <>
const byte PKCS_DigestDecoration<support::DetectingSha1>::decoration[];
template <>
const unsigned int PKCS_DigestDecoration<support::DetectingSha1>::length;
}  // namespace CryptoPP
