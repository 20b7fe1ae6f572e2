#include "bundle/key_stream.h"

#include <bit>
#include <cstring>

#include "bundle/bundle_format.h"

namespace bundle {
namespace {

// For the bit-0 values of eight consecutive bytes (bit j = bit 0 of byte j), how many of the
// bytes each stream serves, relative to the selector before the group: lane r (16 bits each)
// counts the bytes whose selector is (s + r) & 3. The selector moves by popcount & 3.
struct GroupTable {
  uint64_t counts[256];
  uint8_t shift[256];
  constexpr GroupTable() : counts(), shift() {
    for (int m = 0; m < 256; ++m) {
      uint32_t r = 0;
      uint64_t c = 0;
      for (int j = 0; j < 8; ++j) {
        r = (r + ((m >> j) & 1)) & 3;
        c += uint64_t{1} << (16 * r);
      }
      counts[m] = c;
      shift[m] = static_cast<uint8_t>(r);
    }
  }
};
constexpr GroupTable kGroups;

// Gathers bit 0 of each of eight bytes (byte j at bit j) with one multiplication: every
// partial product lands on its own bit, so nothing carries into the top byte.
inline uint32_t LowBits(const uint8_t* p) {
  uint64_t x = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&x, p, 8);
  } else {
    for (int j = 0; j < 8; ++j) x |= static_cast<uint64_t>(p[j]) << (8 * j);
  }
  return static_cast<uint32_t>(((x & 0x0101010101010101ULL) * 0x0102040810204080ULL) >> 56);
}

}  // namespace

KeyStreams::KeyStreams(const uint8_t* table, size_t size) {
  size_t q = size / 4;
  const size_t begins[4] = {2 * q, q, 3 * q, 0};
  const size_t ends[4] = {3 * q, 2 * q, size, q};
  for (int k = 0; k < 4; ++k) {
    streams_[k].assign(table + begins[k], table + ends[k]);
    for (uint8_t& b : streams_[k]) b &= 0xFE;
    lengths_[k] = static_cast<uint32_t>(streams_[k].size());
  }
}

const KeyStreams& KeyStreams::Builtin() {
  static const KeyStreams streams(kScrambleTable, kScrambleTableSize);
  return streams;
}

void KeyStreams::XorBytes(KeyStreamState& state, uint8_t* data, size_t length) const {
  uint32_t s = state.selector;
  uint32_t p[4] = {state.positions[0], state.positions[1], state.positions[2],
                   state.positions[3]};
  const uint8_t* keys[4] = {streams_[0].data(), streams_[1].data(), streams_[2].data(),
                            streams_[3].data()};
  for (size_t i = 0; i < length; ++i) {
    uint8_t b = data[i];
    s = (s + (b & 1)) & 3;
    data[i] = b ^ keys[s][p[s]];
    if (++p[s] == lengths_[s]) p[s] = 0;
  }
  state.selector = s;
  for (int k = 0; k < 4; ++k) state.positions[k] = p[k];
}

void KeyStreams::Unscramble(KeyStreamState& state, uint8_t* data, size_t length) const {
  XorBytes(state, data, length);
}

void KeyStreams::Scramble(KeyStreamState& state, uint8_t* data, size_t length) const {
  XorBytes(state, data, length);
}

void KeyStreams::AdvanceSerial(KeyStreamState& state, const uint8_t* data, size_t length) const {
  uint32_t s = state.selector;
  for (size_t i = 0; i < length; ++i) {
    s = (s + (data[i] & 1)) & 3;
    if (++state.positions[s] == lengths_[s]) state.positions[s] = 0;
  }
  state.selector = s;
}

void KeyStreams::Advance(KeyStreamState& state, const uint8_t* data, size_t length) const {
  uint64_t totals[4] = {0, 0, 0, 0};
  uint32_t s = state.selector;
  size_t i = 0;
  while (length - i >= 8) {
    // 16-bit lanes hold at most 8 per group: flush before 8192 groups can overflow one.
    size_t groups = (length - i) / 8;
    if (groups > 8000) groups = 8000;
    uint64_t lanes = 0;
    for (size_t g = 0; g < groups; ++g, i += 8) {
      uint32_t m = LowBits(data + i);
      lanes += std::rotl(kGroups.counts[m], static_cast<int>(16 * s));
      s = (s + kGroups.shift[m]) & 3;
    }
    for (int k = 0; k < 4; ++k) totals[k] += (lanes >> (16 * k)) & 0xFFFF;
  }
  for (; i < length; ++i) {
    s = (s + (data[i] & 1)) & 3;
    ++totals[s];
  }
  state.selector = s;
  for (int k = 0; k < 4; ++k) {
    state.positions[k] =
        static_cast<uint32_t>((state.positions[k] + totals[k] % lengths_[k]) % lengths_[k]);
  }
}

}  // namespace bundle
