// The key streams that scramble a bundle's entry stream.
//
// The 5000-byte scramble table is cut into four streams of q = size / 4 bytes: stream 0 is
// table[2q, 3q), stream 1 table[q, 2q), stream 2 table[3q, size) (it takes any remainder) and
// stream 3 table[0, q). A selector s picks the stream for each byte: before a byte is used,
// s becomes (s + (b & 1)) & 3, where b is the byte as stored; the byte is XORed with the
// stream's current key byte with bit 0 cleared, and that stream's position moves on by one,
// wrapping at the stream's length.
//
// Because key bytes have bit 0 clear, stored and plain bytes agree in bit 0: the selector can
// follow either side, and advancing over bytes (without unscrambling them) needs only their
// bit 0. Advance() uses that to move over chunk data eight bytes at a time, and Unscramble()
// and Scramble() to work eight bytes at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bundle {

// The selector and the four positions; at the start of the entry stream all are 0.
struct KeyStreamState {
  uint32_t positions[4] = {0, 0, 0, 0};
  uint32_t selector = 0;

  friend bool operator==(const KeyStreamState&, const KeyStreamState&) = default;
};

class KeyStreams {
 public:
  // Cuts `table` into the four streams. The table must hold at least 4 bytes.
  KeyStreams(const uint8_t* table, size_t size);
  // The streams of the built-in scramble table.
  static const KeyStreams& Builtin();

  // Stored bytes to plain bytes, in place.
  void Unscramble(KeyStreamState& state, uint8_t* data, size_t length) const;
  // Plain bytes to stored bytes, in place (the writer's side; the same XOR, selected by bit 0).
  void Scramble(KeyStreamState& state, uint8_t* data, size_t length) const;
  // Moves the state over bytes (stored or plain: only bit 0 counts) without changing them.
  void Advance(KeyStreamState& state, const uint8_t* data, size_t length) const;
  // The byte-serial forms of Unscramble and Advance, kept as the reference the fast one is tested
  // against.
  void UnscrambleSerial(KeyStreamState& state, uint8_t* data, size_t length) const;
  void AdvanceSerial(KeyStreamState& state, const uint8_t* data, size_t length) const;

  uint32_t StreamLength(int stream) const { return lengths_[stream]; }

 private:
  void XorBytes(KeyStreamState& state, uint8_t* data, size_t length) const;
  void XorSerial(KeyStreamState& state, uint8_t* data, size_t length) const;

  static constexpr size_t kPadding = 8;
  // Key bytes with bit 0 already cleared, each stream followed by kPadding bytes of its start.
  std::array<std::vector<uint8_t>, 4> streams_;
  std::array<uint32_t, 4> lengths_{};
  uint32_t shortest_ = 0;
  uint32_t longest_ = 0;
};

}  // namespace bundle
