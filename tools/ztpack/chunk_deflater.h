// Deflates whole chunks into zlib streams with libdeflate. The output depends only on the
// chunk's bytes and the level, so bundles come out the same whichever thread compresses what.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/result.h"

struct libdeflate_compressor;

namespace ztpack {

constexpr int kMaxCompressionLevel = 12;
// Level 9 compresses these chunks about 1.8% smaller than zlib's default level, in a little
// over half of its time; levels 10 to 12 gain another 2% at three to four times the cost.
constexpr int kDefaultCompressionLevel = 9;

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

 private:
  int level_;
  libdeflate_compressor* compressor_;
};

}  // namespace ztpack
