// OpenSigningKey: a key file or a pkcs11: URI, for every command that signs.
#include <algorithm>
#include <cctype>

#include "author/pkcs11.h"
#include "os/file_ops.h"

namespace ztpack {

namespace {
constexpr std::string_view kScheme = "pkcs11:";
}  // namespace

bool IsPkcs11Uri(std::string_view key) {
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

support::Result<std::vector<Pkcs11UriAttribute>> SplitPkcs11Uri(std::string_view uri) {
  if (!IsPkcs11Uri(uri)) {
    return support::Errorf("\"%s\" is not a pkcs11: URI", std::string(uri).c_str());
  }
  std::string_view rest = uri.substr(kScheme.size());
  const size_t question = rest.find('?');
  const std::string_view parts[] = {rest.substr(0, question), question == std::string_view::npos
                                                                  ? std::string_view()
                                                                  : rest.substr(question + 1)};
  std::vector<Pkcs11UriAttribute> attributes;
  for (int p = 0; p < 2; ++p) {
    const char separator = p == 0 ? ';' : '&';
    for (size_t start = 0; start < parts[p].size();) {
      const size_t end = std::min(parts[p].find(separator, start), parts[p].size());
      const std::string_view attribute = parts[p].substr(start, end - start);
      start = end + 1;
      if (attribute.empty()) continue;
      const size_t equals = std::min(attribute.find('='), attribute.size());
      attributes.push_back({std::string(attribute.substr(0, equals)),
                            std::string(attribute.substr(std::min(equals + 1, attribute.size()))),
                            p == 1});
    }
  }
  return attributes;
}

std::string JoinPkcs11Uri(const std::vector<Pkcs11UriAttribute>& attributes) {
  std::string path, query;
  for (const Pkcs11UriAttribute& a : attributes) {
    std::string& part = a.query ? query : path;
    if (!part.empty()) part += a.query ? '&' : ';';
    part += a.name + "=" + a.value;
  }
  return std::string(kScheme) + path + (query.empty() ? "" : "?" + query);
}

std::string Pkcs11UriForMessages(const std::string& uri) {
  auto attributes = SplitPkcs11Uri(uri);
  if (!attributes) return uri;
  for (Pkcs11UriAttribute& a : *attributes) {
    if (a.name == "pin-value") a.value = "...";
  }
  return JoinPkcs11Uri(*attributes);
}

std::string PinSourceOf(std::string_view uri) {
  auto attributes = SplitPkcs11Uri(uri);
  if (!attributes) return {};
  for (const Pkcs11UriAttribute& a : *attributes) {
    if (a.name != "pin-source") continue;
    auto decoded = PercentDecode(a.value);
    return decoded ? *decoded : std::string();
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
  if (!path) return path.takeError();
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
  if (!key) return key.takeError();
  return SigningKey(*key, name);
}

}  // namespace ztpack
