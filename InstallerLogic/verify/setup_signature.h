// The embedded signature check of the setup program: the `_SG2` attachment holds a JSON
// document whose "sign" member is the hexadecimal RSA signature (PKCS#1 v1.5, SHA-1, 4096-bit
// setup key) of every byte in front of that attachment's data.
//
// Two passes hash different bytes. The plain pass hashes the signed region as stored. The
// header-tolerant pass leaves out the header fields that adding a section and Authenticode
// signing change (container::CollectHeaderSkipRanges): NumberOfSections, SizeOfImage, CheckSum,
// the certificate-table entry and the section-header slack. The plain pass hands over to the
// header-tolerant one silently; only the latter writes a trace line when it fails.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "verify/json.h"

namespace verify {

// The read buffer of one pass; the signed region is streamed through it, never held whole.
constexpr size_t kSignatureReadBufferSize = 65536;
// The header-tolerant pass needs at least the DOS header and the PE headers in front of _SG2.
constexpr int32_t kMinTolerantDataOffset = 512;

// True only when the embedded signature verifies: first over the bytes as stored, then (when
// that fails) with the header fields excluded that section addition and signing change. False,
// with the trace line of support::TraceCollision, when a pass finds a SHA-1 collision attack in
// the bytes it hashes.
bool VerifySetupSignature(std::u16string path, bool headerTolerant = false);
// The same check through an open handle on the setup program, the one that holds it against
// writes: the document and both passes read handles reopened from it (File::Reopen), so the
// bytes checked are the bytes of that file whatever its path names meanwhile. `name` (its path)
// only names the file in a trace line.
bool VerifySetupSignature(const platform::File& held, const std::u16string& name = u"");

// Reads and parses the signature document; *dataOffset receives the attachment's data offset.
JsonObject ReadSignatureDocument(const std::u16string& path, int32_t* dataOffset);

// The setup signing public key of the program's key place (DER SubjectPublicKeyInfo; empty when
// the place is not filled).
std::string BuiltinSetupKey();

// What decided a check, for tools that report it (ztpack verify).
struct SetupSignatureOutcome {
  bool verified = false;
  bool headerTolerant = false;  // the pass that gave the result
  int32_t dataOffset = -1;      // -1 until the _SG2 attachment was located
  std::string reason;           // why the deciding pass failed; empty when verified
};

// The same check against a given setup public key (DER SubjectPublicKeyInfo) instead of the
// built-in one. `outcome`, when given, receives what decided the result.
bool VerifySetupSignatureWithKey(std::u16string path, const std::string& setupKeyDer,
                                 bool headerTolerant = false,
                                 SetupSignatureOutcome* outcome = nullptr);
bool VerifySetupSignatureWithKey(const platform::File& held, const std::string& setupKeyDer,
                                 SetupSignatureOutcome* outcome = nullptr,
                                 const std::u16string& name = u"");

}  // namespace verify
