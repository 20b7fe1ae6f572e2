// Hexadecimal text of bytes, and the SHA-1 of bytes as the setup program's reports and sha1sum
// write it (40 lowercase digits).
#pragma once

#include <cryptopp/sha.h>

#include <string>

namespace testutil {

inline std::string Hex(const std::string& bytes, bool upper = false) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

inline std::string Sha1Hex(const std::string& data) {
  std::string digest(CryptoPP::SHA1::DIGESTSIZE, '\0');
  CryptoPP::SHA1().CalculateDigest(reinterpret_cast<unsigned char*>(digest.data()),
                                   reinterpret_cast<const unsigned char*>(data.data()),
                                   data.size());
  return Hex(digest);
}

}  // namespace testutil
