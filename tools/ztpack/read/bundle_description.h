// A bundle described for people: header, entries and chunks, the public key block, and the
// status of both signatures and the stored checksum. Unlike the installer's reader it does not
// stop at the first fault; it says what it found and where the walk ended. Memory is bounded:
// at most kMaxListedEntries entries and kMaxListedChunks chunks in total are listed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle/bundle_format.h"
#include "support/result.h"

namespace ztpack {

struct BundleChunkInfo {
  int64_t dataOffset = 0;
  uint32_t stored = 0;
  uint32_t inflated = 0;
};

struct BundleEntryInfo {
  std::string name;
  int64_t offset = 0;  // file offset of the name length field
  uint32_t chunkCount = 0;
  uint64_t storedTotal = 0;
  uint64_t inflatedTotal = 0;
  std::vector<BundleChunkInfo> chunks;  // may be cut short, see chunksListed
  bool chunksListed = true;
};

struct SignatureStatus {
  bool checked = false;  // false: could not be checked (reason in `text`)
  bool valid = false;
  std::string text;
};

struct BundleInfo {
  uint64_t fileSize = 0;
  uint8_t version = 0;
  uint32_t headerFields[3] = {0, 0, 0};
  std::vector<BundleEntryInfo> entries;
  bool entriesListed = true;
  std::string streamEnd;  // why the walk of the entry stream ended
  int64_t streamEndOffset = 0;
  uint64_t signedLength = 0;  // offset of the signature block
  uint64_t junkLength = 0;
  uint32_t signatureBlockLength = 0;
  bool hasPublicKeyBlock = false;
  std::string goal;
  uint32_t expiry = 0;
  unsigned bundleKeyBits = 0;
  SignatureStatus rootSignature;    // public key block under the root key
  SignatureStatus bundleSignature;  // signed region under the bundle key
  SignatureStatus checksum;         // stored SHA-1 against the plain entry stream
  // The SHA-1 of the signed region (20 bytes) when the bundle signature verified: what
  // BundleReader::SignedDigest gives the installer, and what a setup program is bound to.
  std::string signedDigest;
  std::vector<std::string> chunkFaults;  // chunks beyond the limits of the installer's reader
};

constexpr size_t kMaxListedEntries = 100000;
constexpr size_t kMaxListedChunks = 1000000;

// Fails only when the file is not a bundle at all (cannot be read, no magic, short header).
support::Result<BundleInfo> InspectBundle(const std::string& path, const std::string& rootKeyDer,
                                          uint32_t maxChunkSize = bundle::kWorkerMaxChunkSize);

// The relative path under which an entry may be written into a directory, with '/' between
// components, or an error saying why the name would leave the directory (absolute, drive or UNC
// prefix, a ".." component, a colon as in alternate data streams, an empty component, a zero
// byte).
support::Result<std::string> SafeRelativePath(const std::string& entryName);

// "2106-02-07 06:28:15 UTC".
std::string FormatUtc(uint32_t seconds);

}  // namespace ztpack
