// Whether a payload file's bytes hold a private key. The bytes come in pieces of any size, as
// the packer reads them, so that a file is read once and checked on the way; a key packed by
// mistake would be handed out by every installer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ztpack {

class PrivateKeyScanner {
 public:
  void Feed(std::string_view piece);
  // Empty when the bytes fed hold no private key; else what they hold, for a message
  // ("a PEM \"RSA PRIVATE KEY\" block", "DER PKCS#8 PrivateKeyInfo").
  std::string Finish();

 private:
  std::string found_;
  std::string window_;  // the end of the bytes fed so far, searched with the next piece
  std::string head_;    // the first bytes, for a whole-file DER key
  uint64_t fed_ = 0;
};

}  // namespace ztpack
