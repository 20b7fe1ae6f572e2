#include "bundle/piece_inflater.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "bundle_fixture.h"

namespace bundle_test {
namespace {

using bundle::PieceInflater;

// Inflating in pieces accepts and produces exactly what uncompress() does, for streams that
// end within, exactly at and past the limit, truncated or damaged streams and trailing bytes,
// whatever the size of the buffer the pieces go into.
TEST(PieceInflater, AcceptsAndProducesWhatUncompressDoes) {
  std::mt19937 rng(77);
  PieceInflater inflater;  // one inflater for every case: its state must not leak between them
  for (int round = 0; round < 400; ++round) {
    const size_t size = round % 10 == 0 ? 0 : rng() % (300u << 10);
    std::string stored = ZlibCompress(RandomBytes(rng, size, rng() % 2));
    switch (rng() % 5) {
      case 0:
        stored.resize(rng() % (stored.size() + 1));  // truncated
        break;
      case 1:
        stored[rng() % stored.size()] ^= static_cast<char>(1 + rng() % 255);  // damaged
        break;
      case 2:
        stored += "trailing";
        break;
      default:
        break;
    }
    const size_t limits[] = {size, size + 1 + rng() % 1000, size > 0 ? size - 1 : 0,
                             size / 2, 0};
    const size_t limit = limits[rng() % 5];

    std::string expected(limit, '\0');
    uint8_t none = 0;
    uLongf expectedLength = limit;
    const bool accepted =
        uncompress(limit > 0 ? reinterpret_cast<Bytef*>(expected.data()) : &none, &expectedLength,
                   reinterpret_cast<const Bytef*>(stored.data()), stored.size()) == Z_OK;
    expected.resize(expectedLength);

    const size_t outSize = rng() % 2 ? std::max<size_t>(limit, 1) : 1 + rng() % 100000;
    std::string buffer(outSize, '\0'), got;
    const bool ok = inflater.Inflate(
        reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), limit,
        reinterpret_cast<uint8_t*>(buffer.data()), outSize, [&](const uint8_t* piece, size_t n) {
          EXPECT_LE(n, PieceInflater::kPiece);
          got.append(reinterpret_cast<const char*>(piece), n);
          return true;
        });
    ASSERT_EQ(ok, accepted) << "round " << round << " size " << size << " limit " << limit;
    if (accepted) {
      EXPECT_EQ(got, expected) << "round " << round;
    }
  }
}

TEST(PieceInflater, SinkRefusalStopsAndFails) {
  std::mt19937 rng(3);
  const std::string data = RandomBytes(rng, 500000, true);
  const std::string stored = ZlibCompress(data);
  PieceInflater inflater;
  std::string buffer(data.size(), '\0');
  int calls = 0;
  EXPECT_FALSE(inflater.Inflate(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                                data.size(), reinterpret_cast<uint8_t*>(buffer.data()),
                                buffer.size(), [&](const uint8_t*, size_t) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
  // The next stream is not affected.
  std::string got;
  EXPECT_TRUE(inflater.Inflate(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                               data.size(), reinterpret_cast<uint8_t*>(buffer.data()), 1000,
                               [&](const uint8_t* piece, size_t n) {
                                 got.append(reinterpret_cast<const char*>(piece), n);
                                 return true;
                               }));
  EXPECT_EQ(got, data);
}

}  // namespace
}  // namespace bundle_test
