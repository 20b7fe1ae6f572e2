// The Authenticode signature of a PE file, as `verify` and `inspect` report it.
//
// Where it lives. Entry 4 of the optional header's data directory (the security entry) holds a
// FILE offset and a size, not an RVA: the certificate table, which sits behind everything else
// in the file. The table is a run of WIN_CERTIFICATE records, each 8-byte aligned:
//
//   u32 dwLength           the record's size, these 8 header bytes included
//   u16 wRevision          0x0200
//   u16 wCertificateType   0x0002: bCertificate is a PKCS#7 SignedData
//   u8  bCertificate[dwLength - 8]
//
// The first record is the signature. Its SignedData carries, as content of type
// SpcIndirectDataContent, a DigestInfo: the digest algorithm and the image hash, that is the
// digest of the whole file except the CheckSum field, the security entry itself and the
// certificate table. Because the table is left out, it must be the last thing in the file:
// bytes behind it are not covered by the hash, and Windows treats such a file as unsigned.
//
// What is read and what is trusted. Everything here is untrusted: the table, its records and
// every DER length are checked against what is left (ByteReader's one bounds check and a small
// DER reader over a memory span), the table is read into memory only up to kMaxTableSize, at
// most kMaxCertificates certificates are taken (as spans into it, never copies), and no structure
// is walked deeper than the fixed shape above. Two things are checked: that the embedded image
// hash matches the file, and that the one SignerInfo signed it. The latter means its
// messageDigest attribute is the digest of the SpcIndirectDataContent (its value, without tag
// and length), and its signature, over the DER of its signed attributes tagged as a SET, verifies
// with the public key of the certificate that its issuer and serial number name (RSA PKCS #1
// v1.5 with SHA-1, SHA-256, SHA-384 or SHA-512). Only then is that certificate's subject named
// as the signer. What is NOT checked here is that certificate's chain and its trust: `make` has
// osslsigncode verify those when it signs, and Windows decides trust on the user's machine.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "support/result.h"

namespace ztpack {

inline constexpr uint16_t kWinCertRevision2 = 0x0200;
inline constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;
inline constexpr uint32_t kWinCertHeaderSize = 8;
// Real tables hold a few kilobytes of certificates; more is not a signature we read.
inline constexpr uint64_t kMaxTableSize = 16u << 20;
// A signature carries its signer's chain and perhaps a timestamp's: a handful of certificates.
inline constexpr size_t kMaxCertificates = 64;

// What the PKCS#7 SignedData of a signature says. The spans point into the bytes parsed.
struct AuthenticodeSignedData {
  std::string digestAlgorithm;  // "sha256", "sha1", ..., or the OID in dotted form
  std::vector<uint8_t> digest;  // the image hash the signer signed
  // The SignerInfo's signature verified (see above); else why not.
  bool signatureVerified = false;
  std::string signatureProblem;
  // The verified signer's certificate subject, "CN=..., O=..." (most specific first); "" unless
  // signatureVerified.
  std::string signerSubject;
  std::vector<std::span<const uint8_t>> certificates;  // DER, as the SignedData carries them
  // The record the spans point into, when a report owns it (ReadAuthenticode).
  std::shared_ptr<const std::vector<uint8_t>> bytes;
};

// Parses the SignedData of a WIN_CERTIFICATE's bCertificate (a ContentInfo) and verifies its
// SignerInfo. The error names the structure that is wrong; a signature that does not verify is
// no error but signatureVerified false. The result's spans point into `der`.
support::Result<AuthenticodeSignedData> ParseAuthenticodeSignedData(std::span<const uint8_t> der);

// The first WIN_CERTIFICATE of a certificate table: its bCertificate, or why it is not a PKCS#7
// signature record.
support::Result<std::span<const uint8_t>> FirstWinCertificate(std::span<const uint8_t> table);

struct AuthenticodeReport {
  bool present = false;      // the security entry names a table
  uint64_t tableOffset = 0;  // as the entry says
  uint64_t tableSize = 0;
  std::string problem;  // non-empty: the signature is malformed or misplaced (why)
  AuthenticodeSignedData signedData;
  std::string computedDigest;  // lowercase hex of the image hash, empty when not computed
  bool digestMatches = false;

  // Present, well formed, signed by the key of the certificate it names, and the file is what
  // was signed.
  bool Sound() const {
    return present && problem.empty() && digestMatches && signedData.signatureVerified;
  }
};

// Reads the Authenticode signature of the PE at `path`. Fails only when the file cannot be read
// or is no PE; a missing signature gives present == false, a damaged one a `problem`.
support::Result<AuthenticodeReport> ReadAuthenticode(const std::string& path);

// The image hash of `path` with `algorithm` ("sha1", "sha256", "sha384", "sha512") over
// [0, end) minus the CheckSum field and the security entry, as raw bytes.
support::Result<std::vector<uint8_t>> ComputeImageHash(const std::string& path,
                                                       const std::string& algorithm, uint64_t end);

// One line for a report: "none", or "sha256, signer CN=..., digest matches the file", or
// "sha256, signature unverified (why), ..." naming no signer, and the problem.
std::string DescribeAuthenticode(const AuthenticodeReport& report);

// The same for --json: present, digest_algorithm, signature_verified, signature_problem,
// signer_subject, digest, computed_digest, digest_matches, table_offset, table_size,
// certificates (their count) and problem.
nlohmann::json AuthenticodeJson(const AuthenticodeReport& report);

// Certificates as PEM text ("-----BEGIN CERTIFICATE-----" blocks), for osslsigncode's -CAfile.
std::string CertificatesPem(const std::vector<std::span<const uint8_t>>& certificates);

}  // namespace ztpack
