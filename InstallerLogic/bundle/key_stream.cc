#include "bundle/key_stream.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "bundle/bundle_format.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define ZT_KEY_STREAM_SIMD 1
#else
#define ZT_KEY_STREAM_SIMD 0
#endif

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

// For the same eight bit-0 values: where byte j finds its key byte in a window of 32 bytes that
// holds eight upcoming key bytes of each stream, lane r (bytes 8r..8r+7) for stream (s + r) & 3.
// Byte j uses lane r_j at the rank of j among the group's bytes of that lane. The window is two
// 16-byte registers, so the table holds a byte-shuffle control for each half (0x80 = none).
struct WindowTable {
  alignas(16) uint8_t low[256][8];
  alignas(16) uint8_t high[256][8];
  constexpr WindowTable() : low(), high() {
    for (int m = 0; m < 256; ++m) {
      uint32_t r = 0;
      uint8_t used[4] = {0, 0, 0, 0};
      for (int j = 0; j < 8; ++j) {
        r = (r + ((m >> j) & 1)) & 3;
        const int at = static_cast<int>(8 * r + used[r]++);
        low[m][j] = static_cast<uint8_t>(at < 16 ? at : 0x80);
        high[m][j] = static_cast<uint8_t>(at >= 16 ? at - 16 : 0x80);
      }
    }
  }
};
constexpr WindowTable kWindows;

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
    const size_t length = ends[k] - begins[k];
    // Each stream is followed by its first bytes again (wrapping as often as needed), so that
    // eight key bytes can be read from any position without a wrap test.
    streams_[k].resize(length + kPadding);
    for (size_t i = 0; i < length + kPadding; ++i) {
      streams_[k][i] = table[begins[k] + i % length] & 0xFE;
    }
    lengths_[k] = static_cast<uint32_t>(length);
  }
  shortest_ = *std::min_element(lengths_.begin(), lengths_.end());
  longest_ = *std::max_element(lengths_.begin(), lengths_.end());
}

const KeyStreams& KeyStreams::Builtin() {
  static const KeyStreams streams(kScrambleTable, kScrambleTableSize);
  return streams;
}

void KeyStreams::XorSerial(KeyStreamState& state, uint8_t* data, size_t length) const {
  uint32_t s = state.selector;
  uint32_t p[4] = {state.positions[0], state.positions[1], state.positions[2], state.positions[3]};
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

namespace {

#if ZT_KEY_STREAM_SIMD
// Eight bytes at a time: their bit 0 (unchanged by the XOR) fixes which stream serves each of
// them and in what order, so eight key bytes of each stream are loaded into a window, the
// group's key word is shuffled out of it and applied at once, and the positions move once per
// group. The serial rule carries a dependency through the selector and the position it picks
// on every byte. The four positions live in one word, 16 bits each, in stream order.
__attribute__((target("ssse3"))) size_t XorGroupsSsse3(uint32_t& selector, uint32_t positions[4],
                                                       const uint8_t* const keys[4],
                                                       const uint32_t lengths[4], uint8_t* data,
                                                       size_t length) {
  uint64_t packed = 0, bias = 0, wrap = 0;
  for (int k = 0; k < 4; ++k) {
    packed |= uint64_t{positions[k]} << (16 * k);
    bias |= uint64_t{0x8000 - lengths[k]} << (16 * k);
    wrap |= uint64_t{lengths[k]} << (16 * k);
  }
  const uint8_t* const rotated[8] = {keys[0], keys[1], keys[2], keys[3],
                                     keys[0], keys[1], keys[2], keys[3]};
  uint32_t s = selector;
  size_t i = 0;
  for (; length - i >= 8; i += 8) {
    const uint32_t m = LowBits(data + i);
    // Lane r of `relative` is the position of stream (s + r) & 3.
    const uint64_t relative = std::rotr(packed, static_cast<int>(16 * s));
    const uint8_t* const* base = rotated + s;
    // (No lambda here: it would not inherit this function's instruction set.)
    const __m128i lane0 =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base[0] + (relative & 0xFFFF)));
    const __m128i lane1 =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base[1] + ((relative >> 16) & 0xFFFF)));
    const __m128i lane2 =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base[2] + ((relative >> 32) & 0xFFFF)));
    const __m128i lane3 =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base[3] + ((relative >> 48) & 0xFFFF)));
    const __m128i lanes01 = _mm_unpacklo_epi64(lane0, lane1);
    const __m128i lanes23 = _mm_unpacklo_epi64(lane2, lane3);
    const __m128i key = _mm_or_si128(
        _mm_shuffle_epi8(lanes01,
                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kWindows.low[m]))),
        _mm_shuffle_epi8(lanes23,
                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kWindows.high[m]))));
    __m128i word = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(data + i));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(data + i), _mm_xor_si128(word, key));
    // Move every position by its count, then take the length off those that reached it.
    packed += std::rotl(kGroups.counts[m], static_cast<int>(16 * s));
    const uint64_t reached = ((packed + bias) >> 15) & 0x0001000100010001ULL;
    packed -= (reached * 0xFFFF) & wrap;
    s = (s + kGroups.shift[m]) & 3;
  }
  selector = s;
  for (int k = 0; k < 4; ++k) positions[k] = static_cast<uint32_t>(packed >> (16 * k)) & 0xFFFF;
  return i;
}

bool HaveSsse3() {
  static const bool have = __builtin_cpu_supports("ssse3");
  return have;
}
#endif

}  // namespace

void KeyStreams::XorBytes(KeyStreamState& state, uint8_t* data, size_t length) const {
  size_t done = 0;
#if ZT_KEY_STREAM_SIMD
  // Positions are kept in 16 bits with room for a group's count; a group never moves a stream
  // by more than its length.
  if (length >= 8 && shortest_ >= 8 && longest_ <= 0x7FF0 && HaveSsse3()) {
    const uint8_t* keys[4] = {streams_[0].data(), streams_[1].data(), streams_[2].data(),
                              streams_[3].data()};
    done = XorGroupsSsse3(state.selector, state.positions, keys, lengths_.data(), data, length);
  }
#endif
  XorSerial(state, data + done, length - done);
}

void KeyStreams::Unscramble(KeyStreamState& state, uint8_t* data, size_t length) const {
  XorBytes(state, data, length);
}

void KeyStreams::Scramble(KeyStreamState& state, uint8_t* data, size_t length) const {
  XorBytes(state, data, length);
}

void KeyStreams::UnscrambleSerial(KeyStreamState& state, uint8_t* data, size_t length) const {
  XorSerial(state, data, length);
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
