#include "chunk_deflater.h"

#include <libdeflate.h>

namespace ztpack {

ChunkDeflater::ChunkDeflater(int level)
    : level_(level), compressor_(libdeflate_alloc_compressor(level)) {}

ChunkDeflater::~ChunkDeflater() { libdeflate_free_compressor(compressor_); }

size_t ChunkDeflater::Bound(size_t length) { return libdeflate_zlib_compress_bound(nullptr, length); }

support::Result<size_t> ChunkDeflater::Deflate(const uint8_t* in, size_t length, uint8_t* out) {
  if (compressor_ == nullptr) {
    return support::Errorf("cannot start compressing at level %d (out of memory?)", level_);
  }
  const size_t stored = libdeflate_zlib_compress(compressor_, in, length, out, Bound(length));
  if (stored == 0) return support::Errorf("compressing a chunk of %zu bytes failed", length);
  return stored;
}

}  // namespace ztpack
