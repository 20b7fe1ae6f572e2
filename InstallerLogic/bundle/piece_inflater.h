// Inflates one zlib stream, a piece at a time so that each piece can be passed on (written)
// while the next is produced, or, where the output buffer holds the whole result, at once with
// libdeflate (about two and a half times as fast as zlib). Either way it accepts exactly what
// zlib's uncompress() accepts. The zlib and libdeflate states are kept from one stream to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

struct z_stream_s;
struct libdeflate_decompressor;

namespace bundle {

class PieceInflater {
 public:
  static constexpr size_t kPiece = 64 * 1024;
  // Takes each piece as it is produced; false stops the inflation (and fails it).
  using Sink = std::function<bool(const uint8_t* piece, size_t size)>;

  PieceInflater();
  ~PieceInflater();
  PieceInflater(const PieceInflater&) = delete;
  PieceInflater& operator=(const PieceInflater&) = delete;

  // Inflates the `stored` bytes at `in` into at most `limit` bytes, in pieces of up to kPiece
  // placed one after the other in `out` (`outSize` bytes). When `outSize` is less than `limit`
  // the pieces start again at `out` once it is full, so the sink must be done with a piece
  // when it returns. True when the stream ends within `limit` bytes and the sink took every
  // piece: the acceptance of zlib's uncompress(), whose output is what the pieces add up to.
  // When `outSize` is at least `limit`, the whole output is handed over as one piece.
  bool Inflate(const uint8_t* in, size_t stored, size_t limit, uint8_t* out, size_t outSize,
               const Sink& sink);

 private:
  std::unique_ptr<z_stream_s, void (*)(z_stream_s*)> stream_;
  static void End(z_stream_s* stream);
  std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> whole_;
};

}  // namespace bundle
