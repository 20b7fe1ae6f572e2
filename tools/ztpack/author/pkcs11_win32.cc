// The Windows build has no p11-kit: every pkcs11: key is refused with one message.
#include "author/pkcs11.h"

namespace ztpack {

bool HavePkcs11Support() { return false; }

support::Result<SigningKey> OpenTokenKey(const std::string& uri, KeyRole, const Pkcs11Options&) {
  return support::Errorf("%s: %s", uri.c_str(), kNoPkcs11Support);
}

support::Result<std::vector<std::string>> GenerateTokenKeys(const std::string& uri,
                                                            const std::vector<TokenKeyPlan>&, bool,
                                                            const Pkcs11Options&, bool* reached) {
  if (reached != nullptr) *reached = false;
  return support::Errorf("%s: %s", uri.c_str(), kNoPkcs11Support);
}

}  // namespace ztpack
