#include "verify/bundle_binding.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstring>

#include "container/attachment.h"
#include "container/attachment_format.h"
#include "support/byte_reader.h"
#include "support/text.h"
#include "support/trace.h"
#include "verify/json.h"

namespace verify {
namespace {

constexpr char kSignatureType[] = "_SG2";

bool IsDigestText(const std::string& text) {
  if (text.size() != kBindingTextSize) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The _BND attachment whose footer ends where the document's data begin: the last bytes the
// setup signature covers. No trace lines: a setup program without one is the common case.
void ReadSignedBinding(platform::File& file, int64_t documentOffset, BundleBinding* binding) {
  const int64_t size = file.Size();
  if (size < 0) {
    binding->problem = "the setup program's size cannot be read";
    return;
  }
  support::ByteReader reader(file, static_cast<uint64_t>(size));
  const int64_t footerAt = documentOffset - static_cast<int64_t>(container::kFooterSize);
  uint8_t raw[container::kFooterSize];
  container::AttachmentFooter footer;
  if (footerAt < 0 || !reader.Read(static_cast<uint64_t>(footerAt), raw, sizeof raw) ||
      !container::DecodeFooter(raw, &footer) ||
      std::memcmp(footer.type, kBindingType, container::kTypeSize) != 0) {
    return;  // not bound in the signed bytes
  }
  uint8_t data[kBindingTextSize];
  if (footer.size != kBindingTextSize || footerAt < static_cast<int64_t>(kBindingTextSize) ||
      !reader.Read(static_cast<uint64_t>(footerAt) - kBindingTextSize, data, sizeof data)) {
    binding->problem = "the _BND attachment does not hold 40 bytes";
    return;
  }
  container::ScrambleInPlace(data, sizeof data);
  uint8_t digest[container::kDigestSize];
  CryptoPP::Weak::MD5().CalculateDigest(digest, data, sizeof data);
  const std::string text(reinterpret_cast<const char*>(data), sizeof data);
  if (std::memcmp(digest, footer.digest, sizeof digest) != 0 || !IsDigestText(text)) {
    binding->problem = "the _BND attachment is damaged or holds no SHA-1";
    return;
  }
  binding->signedDigest = UpperCase(text);
}

template <typename Open>
BundleBinding Read(const Open& open) {
  BundleBinding binding;
  int32_t dataOffset = -1;
  std::string document;
  {
    platform::File file = open();
    // Without a readable document there is nothing to bind, and the signature check fails.
    if (!file.IsOpen()) return binding;
    document = container::ReadAttachmentWithOffset(file, kSignatureType, &dataOffset);
  }
  if (document.empty() || dataOffset < 0) return binding;
  JsonValue root;
  root.ParseText(document);
  const JsonObject& object = root.AsObject();
  auto member = object.find(kBundleMember);
  if (member != object.end()) {
    const std::string& text = member->second.AsString();
    if (member->second.type() != JsonType::String || !IsDigestText(text)) {
      binding.problem = "the document's \"bundle\" member is not 40 hex digits";
    } else {
      binding.memberDigest = UpperCase(text);
    }
  }
  platform::File file = open();
  if (!file.IsOpen()) {
    binding.problem = "the setup program cannot be opened again";
    return binding;
  }
  ReadSignedBinding(file, dataOffset, &binding);
  return binding;
}

}  // namespace

BundleBinding ReadBundleBinding(const platform::File& held) {
  return Read([&held] { return held.Reopen(); });
}

BundleBinding ReadBundleBinding(const std::u16string& path) {
  return Read([&path] { return platform::File::Open(path, platform::OpenMode::kReadShareAll); });
}

std::string DigestText(const std::string& digest) {
  std::string text;
  for (unsigned char b : digest) {
    text += "0123456789ABCDEF"[b >> 4];
    text += "0123456789ABCDEF"[b & 15];
  }
  return text;
}

bool BindingAccepts(const BundleBinding& binding, const std::string& bundleDigest,
                    std::string* why) {
  if (!binding.Bound()) return true;
  const std::string actual = DigestText(bundleDigest);
  std::string refusal;
  if (!binding.problem.empty()) {
    refusal = "Setup program's bundle binding unreadable (" + binding.problem + "): bundle " +
              actual + " refused";
  } else {
    for (const std::string* bound : {&binding.signedDigest, &binding.memberDigest}) {
      if (!bound->empty() && *bound != actual && refusal.empty()) {
        refusal = "Bundle " + actual + " refused: the setup program is bound to bundle " + *bound;
      }
    }
  }
  if (refusal.empty()) return true;
  support::Trace("%s\n", refusal.c_str());
  if (why != nullptr) *why = refusal;
  return false;
}

}  // namespace verify
