// Deflates whole chunks into zlib streams with libdeflate. The output depends only on the
// chunk's bytes and the level, so bundles come out the same whichever thread compresses what.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/result.h"

struct libdeflate_compressor;

namespace ztpack {

constexpr int kMaxCompressionLevel = 12;
// On the machine's own headers, libraries and documentation (bench/pack.sh), level 6 compresses
// 2.1 to 2.6 times as fast as level 8 and stores under 1% more; 8 costs that time for 0.85%, 9
// saves another 0.1% at 1.4 times the time of 8, and 10 to 12 about 2% more at four to five
// times it. `bundle --level` and the manifest's [bundle] level choose another.
constexpr int kDefaultCompressionLevel = 6;

class ChunkDeflater {
 public:
  explicit ChunkDeflater(int level);  // 0 .. kMaxCompressionLevel
  ~ChunkDeflater();
  ChunkDeflater(const ChunkDeflater&) = delete;
  ChunkDeflater& operator=(const ChunkDeflater&) = delete;

  // The most bytes Deflate writes for `length` input bytes.
  static size_t Bound(size_t length);
  // Writes the zlib stream of in[0, length) to `out`, which has room for Bound(length) bytes,
  // and returns its length.
  support::Result<size_t> Deflate(const uint8_t* in, size_t length, uint8_t* out);
  // Appends the bundle's record of the chunk in[0, length) to `out`: the stored length, the
  // inflated length (u32 each) and the zlib stream.
  support::Status AppendRecord(const uint8_t* in, size_t length, std::vector<uint8_t>* out);

 private:
  int level_;
  libdeflate_compressor* compressor_;
};

}  // namespace ztpack
