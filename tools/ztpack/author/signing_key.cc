// OpenSigningKey: a key file or a pkcs11: URI, for every command that signs.
#include <algorithm>
#include <cctype>

#include "author/pkcs11.h"
#include "os/file_ops.h"

namespace ztpack {

bool IsPkcs11Uri(std::string_view key) {
  static constexpr std::string_view kScheme = "pkcs11:";
  if (key.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(key[i])) != kScheme[i]) return false;
  }
  return true;
}

support::Result<std::string> PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      return support::Errorf("bad percent escape in \"%s\"", std::string(text).c_str());
    }
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::string PinSourceOf(std::string_view uri) {
  if (!IsPkcs11Uri(uri)) return {};
  constexpr std::string_view kName = "pin-source=";
  // Attributes are separated by ';' before the '?' and by '&' after it.
  for (size_t start = 7; start < uri.size();) {
    const size_t end = std::min(uri.find_first_of(";?&", start), uri.size());
    const std::string_view attribute = uri.substr(start, end - start);
    if (attribute.substr(0, kName.size()) == kName) {
      auto decoded = PercentDecode(attribute.substr(kName.size()));
      return decoded ? *decoded : std::string();
    }
    start = end + 1;
  }
  return {};
}

support::Result<std::string> PinSourcePath(std::string_view pinSource) {
  std::string path(pinSource);
  if (path.rfind("file://", 0) == 0) return path.substr(7);
  if (path.rfind("file:", 0) == 0) return path.substr(5);
  return support::Errorf("pin-source \"%s\" is not a file: URI (the only kind read)", path.c_str());
}

support::Result<std::string> ReadPinSource(std::string_view pinSource) {
  auto path = PinSourcePath(pinSource);
  if (!path) return support::Error{path.error()};
  auto bytes = fileops::ReadWholeFile(*path, 4096);
  if (!bytes) return support::Errorf("PIN file: %s", bytes.error().c_str());
  std::string pin = bytes->substr(0, bytes->find_first_of("\r\n"));
  std::fill(bytes->begin(), bytes->end(), '\0');
  if (pin.empty())
    return support::Errorf("PIN file %s holds no PIN on its first line", path->c_str());
  return pin;
}

support::Result<SigningKey> OpenSigningKey(const std::string& name, KeyRole role,
                                           const Pkcs11Options& options) {
  if (IsPkcs11Uri(name)) return OpenTokenKey(name, role, options);
  auto key = LoadPrivateKey(name);
  if (!key) return support::Error{key.error()};
  return SigningKey(*key, name);
}

}  // namespace ztpack
