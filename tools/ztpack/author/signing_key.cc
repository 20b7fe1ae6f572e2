// OpenSigningKey: a key file or a pkcs11: URI, for every command that signs.
#include <cctype>

#include "author/pkcs11.h"

namespace ztpack {

bool IsPkcs11Uri(std::string_view spec) {
  static constexpr std::string_view kScheme = "pkcs11:";
  if (spec.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(spec[i])) != kScheme[i]) return false;
  }
  return true;
}

support::Result<SigningKey> OpenSigningKey(const std::string& spec, KeyRole role,
                                           const Pkcs11Options& options) {
  if (IsPkcs11Uri(spec)) return OpenTokenKey(spec, role, options);
  auto key = LoadPrivateKey(spec);
  if (!key) return support::Error{key.error()};
  return SigningKey(*key, spec);
}

}  // namespace ztpack
