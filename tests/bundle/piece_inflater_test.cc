#include "bundle/piece_inflater.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "bundle_fixture.h"

namespace bundle_test {
namespace {

using bundle::PieceInflater;

// Inflates `stored` into at most `limit` bytes with uncompress() and with the inflater (into a
// buffer of `outSize` bytes: at least `limit` takes libdeflate's whole-buffer path, less the
// piece by piece zlib one) and expects the same verdict and the same bytes.
void ExpectSameAsUncompress(PieceInflater& inflater, const std::string& stored, size_t limit,
                            size_t outSize, const std::string& what) {
  std::string expected(limit, '\0');
  uint8_t none = 0;
  uLongf expectedLength = limit;
  const bool accepted =
      uncompress(limit > 0 ? reinterpret_cast<Bytef*>(expected.data()) : &none, &expectedLength,
                 reinterpret_cast<const Bytef*>(stored.data()), stored.size()) == Z_OK;
  expected.resize(expectedLength);
  std::string buffer(outSize, '\0'), got;
  const bool ok = inflater.Inflate(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                                   limit, reinterpret_cast<uint8_t*>(buffer.data()), outSize,
                                   [&](const uint8_t* piece, size_t n) {
                                     EXPECT_LE(n, outSize >= limit ? limit : PieceInflater::kPiece);
                                     got.append(reinterpret_cast<const char*>(piece), n);
                                     return true;
                                   });
  ASSERT_EQ(ok, accepted) << what << ", limit " << limit << ", buffer " << outSize;
  if (accepted) {
    ASSERT_EQ(got, expected) << what;
  }
}

// Both paths accept and produce exactly what uncompress() does, for streams that end within,
// exactly at and past the limit, truncated or damaged streams and trailing bytes, every
// compression level, and whatever the size of the buffer the pieces go into.
TEST(PieceInflater, AcceptsAndProducesWhatUncompressDoes) {
  std::mt19937 rng(77);
  PieceInflater inflater;  // one inflater for every case: its state must not leak between them
  for (int round = 0; round < 1500; ++round) {
    const size_t size = round % 10 == 0 ? 0 : rng() % (round % 3 == 0 ? 300u << 10 : 3000u);
    const std::string plain = RandomBytes(rng, size, rng() % 2);
    uLongf n = compressBound(static_cast<uLong>(size));
    std::string stored(n, '\0');
    compress2(reinterpret_cast<Bytef*>(stored.data()), &n,
              reinterpret_cast<const Bytef*>(plain.data()), static_cast<uLong>(size),
              static_cast<int>(rng() % 10));
    stored.resize(n);
    switch (rng() % 6) {
      case 0:
        stored.resize(rng() % (stored.size() + 1));  // truncated
        break;
      case 1:
        for (int k = 1 + rng() % 3; k > 0; --k) {  // damaged
          stored[rng() % stored.size()] ^= static_cast<char>(1 + rng() % 255);
        }
        break;
      case 2: stored += "trailing"; break;
      case 3:  // a valid header followed by noise
        stored = stored.substr(0, 2) + RandomBytes(rng, rng() % 200, false);
        break;
      default: break;
    }
    const size_t limits[] = {size, size + 1 + rng() % 1000, size > 0 ? size - 1 : 0, size / 2, 0};
    const size_t limit = limits[rng() % 5];
    const size_t outSize = rng() % 2 ? std::max<size_t>(limit, 1) : 1 + rng() % 100000;
    ExpectSameAsUncompress(inflater, stored, limit, outSize, "round " + std::to_string(round));
  }
}

// Every value of the two header bytes in front of a valid body: compression method, window
// size, preset dictionary flag and check bits are judged alike on both paths.
TEST(PieceInflater, EveryHeaderIsJudgedAsUncompressJudgesIt) {
  std::mt19937 rng(5);
  const std::string plain = RandomBytes(rng, 5000, true);
  const std::string stored = ZlibCompress(plain);
  PieceInflater inflater;
  for (int cmf = 0; cmf < 256; ++cmf) {
    for (int flg = 0; flg < 256; flg += 1 + cmf % 7) {
      std::string edited = stored;
      edited[0] = static_cast<char>(cmf);
      edited[1] = static_cast<char>(flg);
      const std::string what = "header " + std::to_string(cmf) + " " + std::to_string(flg);
      ExpectSameAsUncompress(inflater, edited, plain.size(), plain.size(), what);
      ExpectSameAsUncompress(inflater, edited, plain.size(), 4096, what);
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
  // In pieces: the second piece is refused. At once: the one piece is.
  EXPECT_FALSE(inflater.Inflate(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                                data.size(), reinterpret_cast<uint8_t*>(buffer.data()),
                                buffer.size() - 1,
                                [&](const uint8_t*, size_t) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
  calls = 0;
  EXPECT_FALSE(inflater.Inflate(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                                data.size(), reinterpret_cast<uint8_t*>(buffer.data()),
                                buffer.size(),
                                [&](const uint8_t*, size_t) { return ++calls > 1; }));
  EXPECT_EQ(calls, 1);
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
