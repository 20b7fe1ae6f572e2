// Fuzzes the bundle reader. The first input byte picks the mode:
//   even: the rest is a whole bundle file, opened as is (the tail, signature block and public
//         key block parsers; the entry walk up to the signature check);
//   odd:  the rest is the signed region (header, scrambled stream, junk); a valid signature
//         block by a throwaway key set is appended, so the input also reaches everything behind
//         validation: the catalogue, OpenEntry, Read, ReadLine, CloseEntry and ExtractEntry.
// Invariants: no crash, reads never return more than asked, closing restores the stream state.
#include <unistd.h>

#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "author/bundle_writer.h"
#include "author/keys.h"
#include "bundle/bundle_reader.h"
#include "fuzz_common.h"
#include "support/byte_reader.h"
#include "support/text.h"

namespace {

struct Keys {
  ztpack::RsaPrivateKey root, bundle;
  std::string rootDer, certificate;
};
Keys* keys = nullptr;
std::string bundlePath, extractPath;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string SignatureTail(const std::string& signedRegion) {
  // Signed with plain SHA-1, as ztpack never would for half of a collision: whatever the input,
  // the reader's own collision detection decides.
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer(keys->bundle);
  CryptoPP::AutoSeededRandomPool rng;
  std::string signature(signer.SignatureLength(), '\0');
  signer.SignMessage(rng, reinterpret_cast<const CryptoPP::byte*>(signedRegion.data()),
                     signedRegion.size(), reinterpret_cast<CryptoPP::byte*>(signature.data()));
  std::string block;
  std::vector<uint8_t> b;
  support::PutU32le(b, static_cast<uint32_t>(signature.size()));
  b.insert(b.end(), signature.begin(), signature.end());
  support::PutU32le(b, static_cast<uint32_t>(keys->certificate.size()));
  b.insert(b.end(), keys->certificate.begin(), keys->certificate.end());
  support::PutU32le(b, static_cast<uint32_t>(b.size()));
  for (char c : std::string("ZTSG")) b.push_back(static_cast<uint8_t>(c));
  b.insert(b.end(), 20, 0);
  return std::string(b.begin(), b.end());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::freopen("/dev/null", "w", stdout);  // the reader's "?!" diagnostics
  keys = new Keys;
  keys->root = ztpack::GenerateKey(2048, 65537).value();
  keys->bundle = ztpack::GenerateKey(2048, 65537).value();
  keys->rootDer = ztpack::PublicKeyDer(keys->root);
  keys->certificate =
      ztpack::MakePublicKeyBlock(keys->root, ztpack::PublicKeyDer(keys->bundle), "IBND", 0).value();
  bundlePath = fuzz::ScratchPath("bundle", ".bnd");
  extractPath = fuzz::ScratchPath("bundle", ".out");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) file += SignatureTail(file);
  if (std::FILE* f = std::fopen(bundlePath.c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }
  bundle::BundleReader reader;
  reader.SetGoal("IBND");
  reader.SetMaxChunkSize(1 << 20);  // keeps each inflated chunk small
  reader.SetRootKey(keys->rootDer);
  if (!reader.Open(support::Utf8ToWide(bundlePath, true))) return 0;

  std::vector<std::string> names;
  for (const auto& entry : reader.Catalogue()) names.push_back(entry.name);
  int budget = 8;
  for (const std::string& name : names) {
    if (budget-- == 0) break;
    const int64_t position = reader.StreamPosition();  // CloseEntry puts these back
    const bundle::KeyStreamState state = reader.CurrentKeyState();
    bundle::EntryHandle* h = reader.OpenEntry(name.c_str());
    if (h == nullptr) continue;  // names with a zero byte are not found by OpenEntry
    char line[37];
    int lines = 0;
    while (lines++ < 64 && reader.ReadLine(line, sizeof line, h) != nullptr) {
      Check(std::char_traits<char>::length(line) < sizeof line);
    }
    char buffer[4096];
    h->readOffset = 0;
    for (int i = 0; i < 16; ++i) {
      size_t got = reader.Read(buffer, 3, 1000, h);
      Check(got <= 1000);
      if (got == 0) break;
    }
    Check(h->readOffset <= h->totalLength);
    reader.CloseEntry(h);
    Check(reader.StreamPosition() == position);
    Check(reader.CurrentKeyState() == state);
    reader.ExtractEntry(support::Utf8ToWide(extractPath, true), name);
  }
  reader.Close();
  ::unlink(extractPath.c_str());
  return 0;
}
