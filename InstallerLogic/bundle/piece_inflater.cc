#include "bundle/piece_inflater.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>

namespace bundle {

PieceInflater::PieceInflater()
    : stream_(nullptr, End), whole_(nullptr, libdeflate_free_decompressor) {}
PieceInflater::~PieceInflater() = default;

void PieceInflater::End(z_stream* stream) {
  inflateEnd(stream);
  delete stream;
}

bool PieceInflater::Inflate(const uint8_t* in, size_t stored, size_t limit, uint8_t* out,
                            size_t outSize, const Sink& sink) {
  if (stored > UINT32_MAX || limit > UINT32_MAX || outSize == 0) return false;
  if (outSize >= limit && limit > 0) {
    if (!whole_) whole_.reset(libdeflate_alloc_decompressor());
    if (whole_) {
      // Bytes after the end of the stream are allowed, and a stream that ends early gives what
      // it made, as with uncompress().
      size_t used = 0, made = 0;
      if (libdeflate_zlib_decompress_ex(whole_.get(), in, stored, out, limit, &used, &made) !=
          LIBDEFLATE_SUCCESS) {
        return false;
      }
      return made == 0 || sink(out, made);
    }
  }
  if (!stream_) {
    auto* stream = new z_stream{};
    if (inflateInit(stream) != Z_OK) {
      delete stream;
      return false;
    }
    stream_.reset(stream);
  } else if (inflateReset(stream_.get()) != Z_OK) {
    return false;
  }
  z_stream& zs = *stream_;
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = static_cast<uInt>(stored);
  size_t produced = 0;
  size_t at = 0;  // where the next piece goes in `out`
  int rc = Z_OK;
  // Once `limit` bytes are out, inflate() goes on without room: the stream is accepted only if
  // it ends there, as uncompress() accepts it.
  while (rc == Z_OK) {
    if (at == outSize) at = 0;
    const size_t room = std::min({kPiece, limit - produced, outSize - at});
    zs.next_out = out + at;
    zs.avail_out = static_cast<uInt>(room);
    rc = inflate(&zs, Z_NO_FLUSH);
    const size_t made = room - zs.avail_out;
    if (made > 0 && !sink(out + at, made)) return false;
    produced += made;
    at += made;
  }
  return rc == Z_STREAM_END;
}

}  // namespace bundle
