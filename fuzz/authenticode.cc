// Fuzzes the Authenticode reader: the input as a certificate table (its first WIN_CERTIFICATE
// and the PKCS#7 SignedData inside), as bare DER, and as a whole PE file whose certificate
// table is read and whose image hash is computed.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "fuzz_common.h"
#include "read/authenticode.h"

namespace {

void CheckParsed(std::span<const uint8_t> der) {
  auto parsed = ztpack::ParseAuthenticodeSignedData(der);
  if (!parsed) {
    fuzz::Check(!parsed.error().empty(), "a refusal says why");
    return;
  }
  fuzz::Check(parsed->digest.size() < der.size(), "the digest lies inside the input");
  size_t certificates = 0;
  for (const auto& c : parsed->certificates) certificates += c.size();
  fuzz::Check(certificates <= der.size(), "the certificates lie inside the input");
  fuzz::Check(parsed->certificates.size() <= ztpack::kMaxCertificates, "certificates are capped");
  fuzz::Check(parsed->signatureVerified || parsed->signerSubject.empty(),
              "an unverified signer is not named");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietOutputs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  CheckParsed(input);
  if (auto record = ztpack::FirstWinCertificate(input)) {
    fuzz::Check(record->size() + ztpack::kWinCertHeaderSize <= size, "the record lies inside");
    CheckParsed(*record);
  }

  static const std::string path = fuzz::ScratchPath("authenticode", ".exe");
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  if (auto report = ztpack::ReadAuthenticode(path)) {
    fuzz::Check(!report->Sound() || report->tableOffset + report->tableSize == size,
                "a sound signature's table ends the file");
    fuzz::Check(report->present || report->problem.empty(), "no problem without a signature");
    (void)ztpack::DescribeAuthenticode(*report);
  }
  return 0;
}
