#include "verify/setup_signature.h"

#include <cryptopp/filters.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <exception>
#include <memory>
#include <stdexcept>
#include <vector>

#include "container/attachment.h"
#include "container/pe_locator.h"
#include "platform/platform.h"
#include "support/text.h"
#include "support/trace.h"

extern const unsigned char kBuiltinSetupKey[];
extern const unsigned int kBuiltinSetupKeySize;

namespace verify {
namespace {

constexpr char kSignatureType[] = "_SG2";
constexpr char kSignMember[] = "sign";

using Verifier = CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier;

void Decide(SetupSignatureOutcome* outcome, bool headerTolerant, bool verified,
            std::string reason) {
  if (outcome == nullptr) return;
  outcome->verified = verified;
  outcome->headerTolerant = headerTolerant;
  outcome->reason = std::move(reason);
}

// Feeds up to `count` bytes from the file's current position, in reads of at most the buffer's
// size. A failed or empty read ends the feed early; the signature then cannot verify.
void FeedRun(platform::File& file, int64_t count, std::vector<uint8_t>& buffer,
             CryptoPP::SignatureVerificationFilter& filter) {
  while (count > 0) {
    size_t want = count < static_cast<int64_t>(buffer.size()) ? static_cast<size_t>(count)
                                                              : buffer.size();
    int64_t got = file.Read(buffer.data(), want);
    if (got <= 0) return;
    filter.Put(buffer.data(), static_cast<size_t>(got));
    count -= got;
  }
}

// The header-tolerant feed: the bytes in front of the data offset, the header skip ranges left
// out. False when the file is not a PE this pass can handle (no trace line).
bool FeedTolerant(platform::File& file, int32_t dataOffset, std::vector<uint8_t>& buffer,
                  CryptoPP::SignatureVerificationFilter& filter) {
  std::vector<container::ByteRange> ranges;
  if (!container::CollectHeaderSkipRanges(&file, &ranges) || ranges.size() < 2) return false;
  if (file.Seek(0, platform::Whence::kBegin) != 0) {
    throw std::length_error("Unable to read PE file");
  }
  int64_t end = 0;
  for (const container::ByteRange& range : ranges) {
    // The ranges ascend and lie in the header area, so every gap fits the read buffer; a list
    // that breaks that rule is refused rather than read past the buffer or backwards.
    int64_t gap = int64_t{range.offset} - end;
    if (gap < 0 || gap > static_cast<int64_t>(buffer.size()) || range.length < 0) {
      throw std::length_error("Unable to read PE file");
    }
    int64_t got = gap == 0 ? 0 : file.Read(buffer.data(), static_cast<size_t>(gap));
    if (got != gap) throw std::length_error("Unable to read PE file");
    filter.Put(buffer.data(), static_cast<size_t>(gap));
    if (file.Seek(range.length, platform::Whence::kCurrent) < 0) {
      throw std::length_error("Unable to read PE file");
    }
    end = int64_t{range.offset} + range.length;
  }
  FeedRun(file, int64_t{dataOffset} - end, buffer, filter);
  return true;
}

}  // namespace

std::string BuiltinSetupKey() {
  return std::string(reinterpret_cast<const char*>(kBuiltinSetupKey), kBuiltinSetupKeySize);
}

JsonObject ReadSignatureDocument(const std::u16string& path, int32_t* dataOffset) {
  std::string data = container::ReadAttachmentWithOffset(path, kSignatureType, dataOffset);
  if (data.empty()) return JsonObject();
  JsonValue root;
  root.ParseText(data);
  return root.AsObject();
}

bool VerifySetupSignature(std::u16string path, bool headerTolerant) {
  return VerifySetupSignatureWithKey(std::move(path), BuiltinSetupKey(), headerTolerant, nullptr);
}

bool VerifySetupSignatureWithKey(std::u16string path, const std::string& setupKeyDer,
                                 bool headerTolerant, SetupSignatureOutcome* outcome) {
  int32_t dataOffset = 0;
  int32_t located = -1;
  JsonObject document = ReadSignatureDocument(path, &located);
  if (located >= 0) dataOffset = located;
  if (outcome != nullptr) outcome->dataOffset = located;
  const std::string signText = document[kSignMember].AsString();
  if (signText.empty()) {
    Decide(outcome, headerTolerant, false,
           located < 0 ? "no readable _SG2 signature document"
                       : "the _SG2 document has no \"sign\" text");
    return false;
  }

  platform::File file = platform::File::Open(path, platform::OpenMode::kReadShareAll);
  if (!file.IsOpen()) {
    Decide(outcome, headerTolerant, false, "the file cannot be opened");
    return false;
  }

  std::vector<uint8_t> signature(signText.size() / 2);
  std::vector<uint8_t> buffer(kSignatureReadBufferSize);
  support::HexDecode(signature.data(), signText.c_str(), static_cast<int>(signature.size()));

  bool result = false;
  try {
    CryptoPP::RSA::PublicKey key;
    CryptoPP::StringSource keySource(setupKeyDer, true);
    key.Load(keySource);
    Verifier verifier(key);
    // The only flag: raise on failure, with the signature taken from the end of the input.
    CryptoPP::SignatureVerificationFilter filter(
        verifier, nullptr, CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION);

    if (!headerTolerant) {
      FeedRun(file, dataOffset, buffer, filter);
    } else {
      if (dataOffset < kMinTolerantDataOffset) {
        Decide(outcome, true, false, "the _SG2 data start below offset 512");
        return false;
      }
      if (!FeedTolerant(file, dataOffset, buffer, filter)) {
        Decide(outcome, true, false, "no header skip ranges (not a PE32/PE32+ with 1 to 15 "
                                     "sections and its headers in the first 312 bytes)");
        return false;
      }
    }
    filter.Put(signature.data(), signature.size());
    filter.MessageEnd();
    result = true;
    Decide(outcome, headerTolerant, true, std::string());
  } catch (const std::exception& e) {
    if (!headerTolerant) {
      // The second pass opens the file again while this handle is still open (full sharing).
      result = VerifySetupSignatureWithKey(path, setupKeyDer, true, outcome);
    } else {
      support::Trace("Signature not valid: %s\n", e.what());
      Decide(outcome, true, false, std::string("Signature not valid: ") + e.what());
      result = false;
    }
  }
  return result;
}

}  // namespace verify
