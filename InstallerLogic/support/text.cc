#include "support/text.h"

#include "platform/platform.h"

namespace support {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The two conversions share one shape: a first buffer that normally suffices, a second try
// sized by the platform when it does not.
template <typename Out, typename In, typename Convert>
Out Convert2(const In& text, bool useLength, size_t firstSize, Convert convert) {
  if (text.empty()) return Out();
  Out buffer(firstSize, typename Out::value_type{});
  int n = useLength ? static_cast<int>(text.size()) : -1;
  bool insufficient = false;
  int count =
      convert(text.c_str(), n, buffer.data(), static_cast<int>(buffer.size()), &insufficient);
  if (count == 0) {
    if (!insufficient) return Out();
    int needed = convert(text.c_str(), n, nullptr, 0, nullptr);
    if (needed <= 0) return Out();
    buffer.assign(static_cast<size_t>(needed), typename Out::value_type{});
    count = convert(text.c_str(), n, buffer.data(), needed, nullptr);
  }
  if (count <= 0) return Out();
  if (!useLength) --count;  // the terminator was converted too
  buffer.resize(static_cast<size_t>(count));
  return buffer;
}

}  // namespace

void HexDecode(unsigned char* out, const char* hex, int count) {
  for (int i = 0; i < count && *hex != '\0'; ++i, hex += 2) {
    out[i] = 0;
    int high = HexValue(hex[0]);
    if (high >= 0) out[i] = static_cast<unsigned char>(high * 16);
    if (hex[1] == '\0') return;
    int low = HexValue(hex[1]);
    if (low >= 0) out[i] |= static_cast<unsigned char>(low);
  }
}

std::vector<std::string> SplitString(const std::string& text, char delimiter) {
  std::vector<std::string> parts;
  size_t cut = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == delimiter) {
      parts.push_back(text.substr(cut, i - cut));
      cut = i + 1;
    }
  }
  parts.push_back(text.substr(cut));
  return parts;
}

bool EndsWith(const std::u16string& text, const std::u16string& suffix) {
  if (suffix.size() > text.size()) return false;
  return text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string WideToUtf8(const std::u16string& text, bool useLength) {
  return Convert2<std::string>(text, useLength, 3 * text.size() + 20, platform::WideToUtf8Raw);
}

std::u16string Utf8ToWide(const std::string& text, bool useLength) {
  return Convert2<std::u16string>(text, useLength, 2 * text.size(), platform::Utf8ToWideRaw);
}

std::u16string EscapeCommandArgument(const std::u16string& argument, bool quote) {
  // Backslashes are literal unless they precede a quote: then each is doubled, and the quote
  // itself is escaped. A closing quote counts, so trailing backslashes are doubled before it.
  std::u16string escaped = quote ? u"\"" : u"";
  size_t slashes = 0;
  for (char16_t c : argument) {
    if (c == u'\\') {
      ++slashes;
      continue;
    }
    escaped.append(c == u'"' ? slashes * 2 + 1 : slashes, u'\\');
    slashes = 0;
    escaped += c;
  }
  escaped.append(quote ? slashes * 2 : slashes, u'\\');
  if (quote) escaped += u'"';
  return escaped;
}

std::u16string QuoteCommandArgument(const std::u16string& argument) {
  if (!argument.empty() && argument.find_first_of(u" \t\"") == std::u16string::npos) {
    return argument;
  }
  return EscapeCommandArgument(argument, true);
}

}  // namespace support
