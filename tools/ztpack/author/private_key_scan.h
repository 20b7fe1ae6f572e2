// Whether a payload file's bytes hold a private key. The bytes come in pieces of any size, as
// the packer reads them, so that a file is read once and checked on the way; a key packed by
// mistake would be handed out by every installer.
//
// What counts is a whole key, never its mere mention: compiled modules and documentation quote
// the PEM header text, and they are not keys. So a PEM block counts only with its BEGIN line of
// a label ending in "PRIVATE KEY", a base64 body (headers allowed before it, as in legacy
// encrypted PEM), the END line of the same label, and a body that decodes to a key structure:
// PKCS#8 PrivateKeyInfo or EncryptedPrivateKeyInfo, PKCS#1 RSAPrivateKey, SEC1 ECPrivateKey, a
// DSA key, or the OpenSSH private key format (or the ciphertext of a legacy encrypted block). A
// whole file counts when it is one DER structure of those kinds, or a PKCS#12 PFX. The numbers
// inside are not checked: a shape is enough.
//
// Memory stays bounded whatever the file: a candidate block is buffered up to kMaxPemBlock
// bytes, beyond which it is no key; the head of the file up to kMaxDerKeySize bytes, beyond
// which the file is no DER key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ztpack {

class PrivateKeyScanner {
 public:
  // A 16384-bit RSA key takes about 9 KiB of DER, 13 KiB of PEM.
  static constexpr size_t kMaxPemBlock = 64 * 1024;
  static constexpr uint64_t kMaxDerKeySize = 64 * 1024;

  void Feed(std::string_view piece);
  // Empty when the bytes fed hold no private key; else what they hold, for a message
  // ("a PEM \"RSA PRIVATE KEY\" block", "DER PKCS#8 PrivateKeyInfo").
  std::string Finish();

 private:
  void Scan(bool atEnd);

  std::string found_;
  // Bytes not yet decided: from a candidate "-----BEGIN " on, or the last few bytes searched.
  std::string pending_;
  size_t waitFor_ = 0;  // the size of pending_ at which an undecided block is examined again
  std::string head_;    // the first bytes, for a whole-file DER key
  uint64_t fed_ = 0;
};

}  // namespace ztpack
