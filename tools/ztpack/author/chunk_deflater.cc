#include "author/chunk_deflater.h"

#include <libdeflate.h>

#include "support/byte_reader.h"

namespace ztpack {

ChunkDeflater::ChunkDeflater(int level)
    : level_(level), compressor_(libdeflate_alloc_compressor(level)) {}

ChunkDeflater::~ChunkDeflater() { libdeflate_free_compressor(compressor_); }

size_t ChunkDeflater::Bound(size_t length) {
  return libdeflate_zlib_compress_bound(nullptr, length);
}

support::Result<size_t> ChunkDeflater::Deflate(const uint8_t* in, size_t length, uint8_t* out) {
  if (compressor_ == nullptr) {
    return support::Errorf("cannot start compressing at level %d (out of memory?)", level_);
  }
  const size_t stored = libdeflate_zlib_compress(compressor_, in, length, out, Bound(length));
  if (stored == 0) return support::Errorf("compressing a chunk of %zu bytes failed", length);
  return stored;
}

support::Status ChunkDeflater::AppendRecord(const uint8_t* in, size_t length,
                                            std::vector<uint8_t>* out) {
  const size_t at = out->size();
  out->resize(at + 8 + Bound(length));
  auto stored = Deflate(in, length, out->data() + at + 8);
  if (!stored) return stored.takeError();
  support::StoreU32le(out->data() + at, static_cast<uint32_t>(*stored));
  support::StoreU32le(out->data() + at + 4, static_cast<uint32_t>(length));
  out->resize(at + 8 + *stored);
  return {};
}

}  // namespace ztpack
