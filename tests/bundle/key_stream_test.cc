#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bundle/key_stream.h"

namespace {

using bundle::KeyStreams;
using bundle::KeyStreamState;

TEST(KeyStream, StreamsCutTheTableInQuarters) {
  std::vector<uint8_t> table(5003);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 7 + 1);
  KeyStreams streams(table.data(), 5000);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(streams.StreamLength(k), 1250u);
  // Byte 0 of each stream: a stored 0x01 moves the selector from 0 to 1 (stream 1 begins at
  // table[1250]); stored bytes with bit 0 clear keep selector 0 (stream 0 at table[2500]).
  KeyStreamState state;
  uint8_t b[2] = {0x00, 0x01};
  streams.Unscramble(state, b, 2);
  EXPECT_EQ(b[0], static_cast<uint8_t>(table[2500] & 0xFE));
  EXPECT_EQ(b[1], static_cast<uint8_t>(0x01 ^ (table[1250] & 0xFE)));
  EXPECT_EQ(state.selector, 1u);
  EXPECT_EQ(state.positions[0], 1u);
  EXPECT_EQ(state.positions[1], 1u);

  // A table whose size is not a multiple of 4: stream 2 takes the remainder.
  KeyStreams odd(table.data(), 5003);
  EXPECT_EQ(odd.StreamLength(2), 1253u);
  EXPECT_EQ(odd.StreamLength(3), 1250u);
}

// The eight-at-a-time Advance and Unscramble must agree with the byte-serial rule for every
// length, start state and bit pattern, including wrap-around of the positions; also for tables
// whose streams are shorter than a group (served serially) or wrap inside every few groups.
void ExpectFastMatchesSerial(const KeyStreams& streams, int rounds, size_t maxLength) {
  std::mt19937 rng(7);
  for (int round = 0; round < rounds; ++round) {
    size_t length = round < 100 ? static_cast<size_t>(round) : rng() % maxLength;
    std::vector<uint8_t> data(length);
    int density = round % 4;  // all clear, all set, random, sparse
    for (uint8_t& b : data) {
      b = static_cast<uint8_t>(rng());
      if (density == 0) b &= 0xFE;
      if (density == 1) b |= 1;
      if (density == 3 && rng() % 8) b &= 0xFE;
    }
    KeyStreamState start;
    start.selector = rng() % 4;
    for (int k = 0; k < 4; ++k) start.positions[k] = rng() % streams.StreamLength(k);
    KeyStreamState fast = start, serial = start, unscrambled = start, serialBytes = start;
    streams.Advance(fast, data.data(), data.size());
    streams.AdvanceSerial(serial, data.data(), data.size());
    std::vector<uint8_t> copy = data, serialCopy = data;
    streams.Unscramble(unscrambled, copy.data(), copy.size());
    streams.UnscrambleSerial(serialBytes, serialCopy.data(), serialCopy.size());
    ASSERT_EQ(fast, serial) << "length " << length << " round " << round;
    ASSERT_EQ(fast, unscrambled) << "length " << length;
    ASSERT_EQ(serialBytes, serial) << "length " << length;
    ASSERT_EQ(copy, serialCopy) << "length " << length << " round " << round;
  }
}

TEST(KeyStream, FastPathsMatchSerial) {
  ExpectFastMatchesSerial(KeyStreams::Builtin(), 400, 200000);
  std::vector<uint8_t> table(64);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 37 + 5);
  ExpectFastMatchesSerial(KeyStreams(table.data(), 20), 200, 5000);  // streams of 5 bytes
  ExpectFastMatchesSerial(KeyStreams(table.data(), 35), 200, 5000);  // 8, 8, 11, 8
  ExpectFastMatchesSerial(KeyStreams(table.data(), 61), 200, 5000);
}

TEST(KeyStream, ScrambleRoundTripsAndKeepsBitZero) {
  const KeyStreams& streams = KeyStreams::Builtin();
  std::mt19937 rng(11);
  std::vector<uint8_t> plain(70000);
  for (uint8_t& b : plain) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> stored = plain;
  KeyStreamState a, b;
  streams.Scramble(a, stored.data(), stored.size());
  EXPECT_NE(stored, plain);
  for (size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(stored[i] & 1, plain[i] & 1);
  streams.Unscramble(b, stored.data(), stored.size());
  EXPECT_EQ(stored, plain);
  EXPECT_EQ(a, b);
}

}  // namespace
