// How the install script's bytes become lines, written once for the bundle reader's ReadLine
// (which the installation worker reads the script with) and for ztpack, which must see the
// script exactly as the worker will: to check it, and to rewrite directives in place.
//
// The worker reads the script with ReadLine into a buffer of kScriptLineBufferSize bytes, so a
// "line" is a piece of at most 2047 bytes: carriage returns are dropped wherever they stand and
// take no room; a piece ends after a line feed (kept), when 2047 bytes are stored, or where the
// script ends. A script that ends in carriage returns alone yields no last, empty piece. What
// the worker uses of a piece ends at its first zero byte (it is taken as a C string), and it
// trims the rest at both ends: every byte that is 32 or less as a signed char, so bytes
// 0x80-0xFF too. Pieces do not know lines: a longer line is read as several pieces, and the
// worker decides each on its own.
//
// Header only, and free of the rest of the core, so that the reader can scan the chunk bytes it
// already holds without a call out of its loop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

constexpr int kScriptLineBufferSize = 2048;
constexpr size_t kScriptPieceLimit = kScriptLineBufferSize - 1;  // room for the terminator

// The bytes the trim removes.
constexpr bool IsBlankScriptByte(char c) { return static_cast<signed char>(c) <= 32; }

// The line without its blank bytes at both ends (the trailing ones cleared first).
constexpr std::string_view TrimmedScriptLine(std::string_view line) {
  size_t end = line.size();
  while (end > 0 && IsBlankScriptByte(line[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && IsBlankScriptByte(line[begin])) ++begin;
  return line.substr(begin, end - begin);
}

// One step of the line reader over bytes it holds: appends `bytes` to `out` (which holds
// `*stored` of at most `limit` bytes) without their carriage returns, until a line feed is
// appended or `limit` bytes are stored. `ended` says the piece is complete; when it is not,
// the piece goes on in the bytes that follow `bytes` (or ends with the script).
struct PieceScan {
  size_t consumed = 0;
  bool ended = false;
};
inline PieceScan ScanScriptPiece(std::span<const uint8_t> bytes, char* out, size_t limit,
                                 size_t* stored) {
  PieceScan scan;
  bool lineFeed = false;
  while (!lineFeed && *stored < limit && scan.consumed < bytes.size()) {
    // The bytes up to the room left (carriage returns take none) and up to a line feed, copied
    // without their carriage returns; what is left is taken in the next round.
    const uint8_t* from = bytes.data() + scan.consumed;
    size_t window = std::min(limit - *stored, bytes.size() - scan.consumed);
    if (const void* lf = std::memchr(from, 0x0A, window)) {
      window = static_cast<size_t>(static_cast<const uint8_t*>(lf) - from) + 1;
      lineFeed = true;
    }
    const uint8_t* end = from + window;
    while (from < end) {
      const auto* cr = static_cast<const uint8_t*>(std::memchr(from, 0x0D, end - from));
      const uint8_t* stop = cr != nullptr ? cr : end;
      std::memcpy(out + *stored, from, static_cast<size_t>(stop - from));
      *stored += static_cast<size_t>(stop - from);
      from = cr != nullptr ? cr + 1 : end;
    }
    scan.consumed += window;
  }
  scan.ended = lineFeed || *stored == limit;
  return scan;
}

// One piece of a whole script, as ReadLine delivers it.
struct ScriptPiece {
  size_t begin = 0, end = 0;  // the script bytes it was read from
  std::string text;           // as delivered: carriage returns dropped, line feed kept
  bool lineFeed = false;      // it ends with a line feed
};

// Every piece ReadLine returns for `script` with a buffer of `limit` + 1 bytes (limit >= 1; a
// buffer of one byte would return empty pieces without end).
inline std::vector<ScriptPiece> SplitScriptPieces(std::string_view script,
                                                  size_t limit = kScriptPieceLimit) {
  std::vector<ScriptPiece> pieces;
  if (limit == 0) return pieces;
  const auto* bytes = reinterpret_cast<const uint8_t*>(script.data());
  for (size_t at = 0; at < script.size();) {
    ScriptPiece piece;
    piece.begin = at;
    piece.text.resize(std::min(limit, script.size() - at));
    size_t stored = 0;
    at += ScanScriptPiece({bytes + at, script.size() - at}, piece.text.data(), limit, &stored)
              .consumed;
    if (stored == 0 && at == script.size()) break;  // carriage returns alone at the end
    piece.text.resize(stored);
    piece.end = at;
    piece.lineFeed = piece.text.back() == '\n';
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

// The part of a piece the worker uses: up to its first zero byte.
inline std::string_view UsedPart(std::string_view piece) {
  return piece.substr(0, std::min(piece.find('\0'), piece.size()));
}

// The script as the worker reads it (ReadScriptLines): every piece, cut at a zero byte, not yet
// trimmed.
inline std::vector<std::string> ScriptLinesOf(std::string_view script) {
  std::vector<std::string> lines;
  for (const ScriptPiece& piece : SplitScriptPieces(script)) {
    lines.emplace_back(UsedPart(piece.text));
  }
  return lines;
}

}  // namespace installer
