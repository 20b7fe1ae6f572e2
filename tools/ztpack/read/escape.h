// Bytes from a file in a message or a text report. What a file says is data: it must not move the
// cursor, change colours, hide what follows (ESC[8m), start a new line that looks like one of the
// report's own, or reorder what is shown. So every string taken from a file reaches a terminal
// through EscapeText; JSON output carries the exact strings instead (its encoder escapes them).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace ztpack {

// Text as it is where it is valid UTF-8 and printable; as \xNN, byte by byte: control bytes
// (0x00-0x1F, 0x7F), the C1 controls (U+0080-U+009F), the characters that change the direction
// of text (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069), and every byte that is not
// part of a valid UTF-8 sequence (overlong forms, surrogates and values past U+10FFFF included).
// Text without such bytes comes back unchanged, so a line escaped twice reads the same.
inline std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&out](std::string_view bytes) {
    for (unsigned char c : bytes) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  };
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) {
        escape(text.substr(i, 1));
      } else {
        out.push_back(static_cast<char>(c));
      }
      ++i;
      continue;
    }
    const size_t length = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    uint32_t code = length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
    bool valid = length != 0 && text.size() - i >= length;
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && code >= kSmallest[length] && code <= 0x10FFFF &&
            !(code >= 0xD800 && code <= 0xDFFF);
    if (!valid) {
      escape(text.substr(i, 1));
      ++i;
      continue;
    }
    const bool hidden = code <= 0x9F || code == 0x061C || code == 0x200E || code == 0x200F ||
                        (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
    if (hidden) {
      escape(text.substr(i, length));
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

// Keeps the bytes from `first` to 0x7E, except those in `alsoEscaped`: for names that are meant
// to be ASCII (attachment types, section names), where any other byte is shown as \xNN.
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
