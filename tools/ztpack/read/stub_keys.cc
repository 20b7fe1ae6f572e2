#include "read/stub_keys.h"

#include <cryptopp/hex.h>
#include <cryptopp/sha.h>

#include <cstring>
#include <vector>

#include "bundle/bundle_format.h"
#include "bundle/bundle_reader_impl.h"
#include "container/attachment_format.h"
#include "os/file_ops.h"
#include "read/attachment_chain.h"
#include "read/diagnostics.h"
#include "read/pe_sections.h"
#include "support/byte_reader.h"
#include "support/text.h"
#include "verify/setup_signature.h"

namespace ztpack {
namespace {

using ull = unsigned long long;

// `length` bytes of attachment data at file offset `offset`, unscrambled.
support::Result<std::vector<uint8_t>> ReadAttachmentBytes(const std::string& path, uint64_t offset,
                                                          size_t length) {
  fileops::RawFile file = fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead);
  if (!file.IsOpen()) return support::Errorf("%s: cannot open the file", path.c_str());
  std::vector<uint8_t> bytes(length);
  if (file.ReadAt(offset, bytes.data(), length) != static_cast<int64_t>(length)) {
    return support::Errorf("%s: cannot read %zu bytes at 0x%llx", path.c_str(), length,
                           static_cast<ull>(offset));
  }
  container::ScrambleInPlace(bytes.data(), bytes.size());
  return bytes;
}

}  // namespace

support::Result<StubKeyPlace> ReadStubKeyPlace(const std::string& path) {
  auto view = ReadPeView(path);
  if (!view) return view.takeError();
  const PeSectionView* section = view->Section(verify::kKeyPlaceSection);
  if (section == nullptr) {
    return support::Errorf(
        "%s: no key place (no section \"%s\"): not a front end of this version of ztpack",
        path.c_str(), verify::kKeyPlaceSection);
  }
  if (section->sizeOfRawData < verify::kKeyPlaceSize ||
      uint64_t{section->pointerToRawData} + verify::kKeyPlaceSize > view->fileSize) {
    return support::Errorf(
        "%s: key place: section \"%s\" holds %u bytes of file data at 0x%x, "
        "fewer than the place's %zu",
        path.c_str(), verify::kKeyPlaceSection, section->sizeOfRawData, section->pointerToRawData,
        verify::kKeyPlaceSize);
  }
  fileops::RawFile file = fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead);
  std::vector<uint8_t> bytes(verify::kKeyPlaceSize);
  if (!file.IsOpen() || file.ReadAt(section->pointerToRawData, bytes.data(), bytes.size()) !=
                            static_cast<int64_t>(bytes.size())) {
    return support::Errorf("%s: key place: cannot read it at 0x%x", path.c_str(),
                           section->pointerToRawData);
  }
  auto keys = verify::ParseKeyPlace(bytes);
  if (!keys) return support::Errorf("%s: %s", path.c_str(), keys.error().c_str());
  return StubKeyPlace{section->pointerToRawData, *keys};
}

std::string KeyFingerprint(const std::string& der) {
  std::string hex;
  CryptoPP::SHA256 sha;
  CryptoPP::StringSource(der, true,
                         new CryptoPP::HashFilter(
                             sha, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false)));
  return "SHA256:" + hex;
}

namespace {

// `length` bytes at `offset` of `path`: unscrambled as attachment data, or as they are.
support::Result<std::vector<uint8_t>> ReadBundleBytes(const std::string& path, uint64_t offset,
                                                      uint64_t length, bool attachment) {
  if (attachment) return ReadAttachmentBytes(path, offset, length);
  fileops::RawFile in = fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead);
  if (!in.IsOpen()) {
    return support::Errorf("%s: cannot open: %s", path.c_str(), fileops::LastErrorText().c_str());
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (in.ReadFullyAt(offset, bytes.data(), bytes.size()) != static_cast<int64_t>(bytes.size())) {
    return support::Errorf("%s: cannot read %llu bytes at 0x%llx", path.c_str(),
                           static_cast<unsigned long long>(length),
                           static_cast<unsigned long long>(offset));
  }
  return bytes;
}

// The bundle of `bundleSize` bytes at `bundleOffset` of `setup` (an attachment there, or a
// bundle file of its own).
support::Status CheckBundleAtCertifiedBy(const std::string& setup, uint64_t bundleOffset,
                                         uint64_t bundleSize, const std::string& rootDer,
                                         bool attachment) {
  if (bundleSize < bundle::kHeaderSize + bundle::kTailSize) {
    return support::Errorf("%s: the bundle of %llu bytes is too short to be signed", setup.c_str(),
                           static_cast<unsigned long long>(bundleSize));
  }
  const uint64_t end = bundleOffset + bundleSize;
  auto tail = ReadBundleBytes(setup, end - bundle::kTailSize, bundle::kTailSize, attachment);
  if (!tail) return tail.takeError();
  if (std::memcmp(tail->data() + 4, bundle::kSignatureMarker, 4) != 0) {
    return support::Errorf("%s: the bundle is not signed (no \"ZTSG\" marker)", setup.c_str());
  }
  const uint32_t blockLength = support::LoadU32le(tail->data());
  if (blockLength > bundle::kMaxSignatureBlock ||
      blockLength > bundleSize - bundle::kTailSize - bundle::kHeaderSize) {
    return support::Errorf("%s: the bundle's signature block length %u exceeds 8192 or the bundle",
                           setup.c_str(), blockLength);
  }
  auto block =
      ReadBundleBytes(setup, end - bundle::kTailSize - blockLength, blockLength, attachment);
  if (!block) return block.takeError();
  support::ByteReader r(*block);
  auto x = r.U32le(0);
  auto y = x ? r.U32le(4 + uint64_t{*x}) : std::nullopt;
  if (!y || !r.Has(8 + uint64_t{*x}, *y)) {
    return support::Errorf("%s: the bundle's signature block lengths overrun it", setup.c_str());
  }
  bool certified;
  {
    Diagnostics collected;
    certified = bundle::ParsePublicKeyBlock(block->data() + 8 + *x, *y, bundle::kWorkerGoal,
                                            rootDer) != nullptr;
  }
  if (!certified) {
    return support::Errorf("the bundle's key is not certified for goal IBND by the root key %s",
                           KeyFingerprint(rootDer).c_str());
  }
  return {};
}

}  // namespace

support::Status CheckBundleCertifiedBy(const std::string& setup, const std::string& rootDer,
                                       bool* present) {
  if (present != nullptr) *present = false;
  auto size = fileops::RegularFileSize(setup);
  if (!size) return support::Errorf("%s: %s", setup.c_str(), size.error().c_str());
  auto chain = WalkAttachmentChain(setup, static_cast<int64_t>(*size), false);
  if (!chain) return chain.takeError();
  const ChainEntry* ibnd = FindInChain(*chain, "IBND");
  if (ibnd == nullptr) return {};
  if (present != nullptr) *present = true;
  return CheckBundleAtCertifiedBy(setup, static_cast<uint64_t>(ibnd->dataOffset), ibnd->size,
                                  rootDer, true);
}

support::Status CheckBundleFileCertifiedBy(const std::string& bundlePath,
                                           const std::string& rootDer) {
  auto size = fileops::RegularFileSize(bundlePath);
  if (!size) return support::Errorf("%s: %s", bundlePath.c_str(), size.error().c_str());
  return CheckBundleAtCertifiedBy(bundlePath, 0, *size, rootDer, false);
}

support::Status CheckSetupSignedBy(const std::string& setup, const std::string& setupDer,
                                   bool* present) {
  verify::SetupSignatureOutcome outcome;
  bool ok;
  {
    Diagnostics collected;
    ok = verify::VerifySetupSignatureWithKey(support::Utf8ToWide(setup, true), setupDer, false,
                                             &outcome);
  }
  if (present != nullptr) *present = outcome.dataOffset >= 0;
  if (ok || outcome.dataOffset < 0) return {};
  return support::Errorf("the setup program's signature is not valid under the setup key %s: %s",
                         KeyFingerprint(setupDer).c_str(), outcome.reason.c_str());
}

}  // namespace ztpack
