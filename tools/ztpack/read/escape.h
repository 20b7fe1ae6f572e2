// Bytes in a message or report: printable ASCII as it is, everything else (and the characters a
// caller names) as \xNN, so that a file's raw bytes cannot garble a terminal or hide in one.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace ztpack {

// Keeps the bytes from `first` to 0x7E, except those in `alsoEscaped`.
inline std::string EscapeBytes(std::string_view bytes, unsigned char first,
                               std::string_view alsoEscaped) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= first && c < 0x7F &&
        alsoEscaped.find(static_cast<char>(c)) == std::string_view::npos) {
      out.push_back(static_cast<char>(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  return out;
}

}  // namespace ztpack
