#include "support/detecting_sha1.h"

#include <sha1dc/sha1.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "support/trace.h"

namespace support {

struct DetectingSha1::State {
  SHA1_CTX ctx;
  std::optional<uint64_t> collision;  // the first colliding block

  void Init() {
    SHA1DCInit(&ctx);
    // The digest of a colliding message is never used (Final raises instead), and plain SHA-1 is
    // what a diagnosis wants to see: no "safe hash" rewriting of the detected blocks.
    SHA1DCSetSafeHash(&ctx, 0);
    collision.reset();
  }
};

Sha1CollisionDetected::Sha1CollisionDetected(uint64_t blockOffset)
    : CryptoPP::Exception(OTHER_ERROR, CollisionText(blockOffset)), blockOffset_(blockOffset) {}

DetectingSha1::DetectingSha1() : state_(std::make_unique<State>()) { state_->Init(); }

DetectingSha1::~DetectingSha1() = default;

void DetectingSha1::Restart() { state_->Init(); }

void DetectingSha1::Update(const CryptoPP::byte* input, size_t length) {
  if (length == 0) return;
  SHA1_CTX& ctx = state_->ctx;
  const char* in = reinterpret_cast<const char*>(input);
  // Detection happens while a block is compressed: an update that completes none, or one after
  // the first attack was found, is plain hashing.
  if (state_->collision || (ctx.total & 63) + length < 64) {
    SHA1DCUpdate(&ctx, in, length);
    return;
  }
  // What the next update changes, should it find an attack and the block have to be located.
  const uint64_t total = ctx.total;
  uint32_t ihv[5];
  unsigned char buffer[64];
  std::memcpy(ihv, ctx.ihv, sizeof ihv);
  std::memcpy(buffer, ctx.buffer, sizeof buffer);
  SHA1DCUpdate(&ctx, in, length);
  if (!ctx.found_collision) return;

  // Found somewhere in this update: hash it again from the state before, one block at a time.
  ctx.total = total;
  std::memcpy(ctx.ihv, ihv, sizeof ihv);
  std::memcpy(ctx.buffer, buffer, sizeof buffer);
  ctx.found_collision = 0;
  size_t done = 0;
  size_t step = 64 - static_cast<size_t>(total & 63);  // completes the block begun before
  while (done < length && !ctx.found_collision) {
    const size_t n = std::min(step, length - done);
    SHA1DCUpdate(&ctx, in + done, n);
    done += n;
    step = 64;
  }
  // Every step but a short last one ends on a block boundary, and only a full block is checked.
  state_->collision = ctx.found_collision ? ctx.total - 64 : total & ~uint64_t{63};
  SHA1DCUpdate(&ctx, in + done, length - done);
}

std::optional<uint64_t> DetectingSha1::FinalChecked(CryptoPP::byte digest[DIGESTSIZE]) {
  SHA1_CTX& ctx = state_->ctx;
  const uint64_t lastBlock = ctx.total & ~uint64_t{63};
  SHA1DCFinal(digest, &ctx);
  // The padded last block can be checked only here.
  if (!state_->collision && ctx.found_collision) state_->collision = lastBlock;
  const std::optional<uint64_t> collision = state_->collision;
  state_->Init();
  return collision;
}

void DetectingSha1::TruncatedFinal(CryptoPP::byte* digest, size_t digestSize) {
  ThrowIfInvalidTruncatedSize(digestSize);
  CryptoPP::byte full[DIGESTSIZE];
  if (std::optional<uint64_t> collision = FinalChecked(full)) {
    throw Sha1CollisionDetected(*collision);
  }
  std::memcpy(digest, full, digestSize);
}

std::string CollisionText(uint64_t offset) {
  char text[80];
  std::snprintf(text, sizeof text, "SHA-1 collision attack detected in block at 0x%" PRIX64,
                offset);
  return text;
}

void TraceCollision(uint64_t fileOffset, const std::string& what) {
  Trace("%s in %s\n", CollisionText(fileOffset).c_str(), what.c_str());
}

}  // namespace support

namespace CryptoPP {
template <>
const byte PKCS_DigestDecoration<support::DetectingSha1>::decoration[] = {
    0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
template <>
const unsigned int PKCS_DigestDecoration<support::DetectingSha1>::length =
    static_cast<unsigned int>(sizeof(PKCS_DigestDecoration<support::DetectingSha1>::decoration));
}  // namespace CryptoPP
