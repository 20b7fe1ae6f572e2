// Small string functions shared by the worker, the workspace code and the signature check, and
// the two conversions between UTF-16 paths and UTF-8 text (the only bridge between the two).
#pragma once

#include <string>
#include <vector>

namespace support {

// Decodes up to `count` bytes from pairs of hexadecimal digits; stops at the text's end. Invalid
// digits decode as 0 halves; bytes of `out` behind the last one written are left untouched.
void HexDecode(unsigned char* out, const char* hex, int count);

// Splits at every delimiter: n delimiters give n + 1 elements, empty ones kept, nothing trimmed.
std::vector<std::string> SplitString(const std::string& text, char delimiter);

bool EndsWith(const std::u16string& text, const std::u16string& suffix);
bool StartsWith(const std::string& text, const std::string& prefix);

// useLength false: the input is read as zero-terminated (stops at an embedded zero).
std::string WideToUtf8(const std::u16string& text, bool useLength = false);
std::u16string Utf8ToWide(const std::string& text, bool useLength = false);

// One argument as CommandLineToArgvW and the C runtime read it back: bare when it is not empty
// and holds no space, tab or double quote (byte for byte as given); otherwise in double quotes,
// each quote escaped and backslashes doubled only where they precede a quote.
std::u16string QuoteCommandArgument(const std::u16string& argument);

// The argument with each double quote escaped and the backslashes in front of it doubled; with
// `quote`, inside double quotes, the backslashes before the closing one doubled too.
std::u16string EscapeCommandArgument(const std::u16string& argument, bool quote);

}  // namespace support
