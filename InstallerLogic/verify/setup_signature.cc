#include "verify/setup_signature.h"

#include <cryptopp/filters.h>
#include <cryptopp/rsa.h>

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "container/attachment.h"
#include "container/pe_locator.h"
#include "platform/platform.h"
#include "support/detecting_sha1.h"
#include "support/text.h"
#include "support/trace.h"
#include "verify/key_place.h"

namespace verify {
namespace {

constexpr char kSignatureType[] = "_SG2";
constexpr char kSignMember[] = "sign";

using Verifier = CryptoPP::RSASS<CryptoPP::PKCS1v15, support::DetectingSha1>::Verifier;

void Decide(SetupSignatureOutcome* outcome, bool headerTolerant, bool verified,
            std::string reason) {
  if (outcome == nullptr) return;
  outcome->verified = verified;
  outcome->headerTolerant = headerTolerant;
  outcome->reason = std::move(reason);
}

// Feeds up to `count` bytes from the file's current position, in reads of at most the buffer's
// size. A failed or empty read, or a cancelled pass, ends the feed early; the signature then
// cannot verify.
void FeedRun(platform::File& file, int64_t count, std::vector<uint8_t>& buffer,
             CryptoPP::SignatureVerificationFilter& filter, const std::atomic<bool>* cancel) {
  while (count > 0) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return;
    size_t want =
        count < static_cast<int64_t>(buffer.size()) ? static_cast<size_t>(count) : buffer.size();
    int64_t got = file.Read(buffer.data(), want);
    if (got <= 0) return;
    filter.Put(buffer.data(), static_cast<size_t>(got));
    count -= got;
  }
}

// The header-tolerant feed: the bytes in front of the data offset, the header skip ranges left
// out (`ranges` receives them). False when the file is not a PE this pass can handle (no trace
// line).
bool FeedTolerant(platform::File& file, int32_t dataOffset, std::vector<uint8_t>& buffer,
                  CryptoPP::SignatureVerificationFilter& filter, const std::atomic<bool>* cancel,
                  std::vector<container::ByteRange>& ranges) {
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
  FeedRun(file, int64_t{dataOffset} - end, buffer, filter, cancel);
  return true;
}

// The file offset of a byte the header-tolerant pass hashed at `hashed`: the skipped ranges
// in front of it added back.
uint64_t FileOffset(uint64_t hashed, const std::vector<container::ByteRange>& ranges) {
  for (const container::ByteRange& range : ranges) {
    if (static_cast<uint64_t>(range.offset) <= hashed)
      hashed += static_cast<uint64_t>(range.length);
  }
  return hashed;
}

// Where a pass reads the setup program: opened by its path (full sharing), or reopened from the
// caller's held handle (`path` then only names it in a trace line).
struct Source {
  std::u16string path;
  const platform::File* held = nullptr;

  platform::File Open() const {
    return held != nullptr ? held->Reopen()
                           : platform::File::Open(path, platform::OpenMode::kReadShareAll);
  }
};

// The signature document as one pass sees it.
struct Document {
  int32_t located = -1;  // the _SG2 data offset, -1 when not found
  std::string signText;

  int32_t DataOffset() const { return located >= 0 ? located : 0; }
  friend bool operator==(const Document&, const Document&) = default;
};

// Why a pass cannot start on this document, or null when it has a "sign" text to check.
const char* MissingSignReason(const Document& document) {
  if (!document.signText.empty()) return nullptr;
  return document.located < 0 ? "no readable _SG2 signature document"
                              : "the _SG2 document has no \"sign\" text";
}

Document LoadDocument(const Source& source) {
  Document document;
  JsonObject object;
  if (source.held == nullptr) {
    object = ReadSignatureDocument(source.path, &document.located);
  } else {
    platform::File file = source.Open();
    std::string data = container::ReadAttachmentWithOffset(file, kSignatureType, &document.located);
    if (!data.empty()) {
      JsonValue root;
      root.ParseText(data);
      object = root.AsObject();
    }
  }
  document.signText = object[kSignMember].AsString();
  return document;
}

// How one pass ended. kInvalid carries the verifier's message; the others are refusals that
// the pass makes without a trace line.
// kCollision: the hashed bytes hold a block of a SHA-1 collision attack, at file offset `at`.
struct PassResult {
  enum Kind { kVerified, kInvalid, kCannotOpen, kBelowMinimum, kNotPe, kCollision } kind = kInvalid;
  std::string message;
  uint64_t at = 0;
};

// One pass over an open file: feeds what the pass hashes, then checks the signature.
PassResult RunPass(platform::File& file, const std::string& setupKeyDer, bool headerTolerant,
                   const Document& document, const std::atomic<bool>* cancel) {
  std::vector<uint8_t> signature(document.signText.size() / 2);
  std::vector<uint8_t> buffer(kSignatureReadBufferSize);
  support::HexDecode(signature.data(), document.signText.c_str(),
                     static_cast<int>(signature.size()));
  const int32_t dataOffset = document.DataOffset();
  std::vector<container::ByteRange> ranges;  // left out by the header-tolerant pass
  try {
    CryptoPP::RSA::PublicKey key;
    CryptoPP::StringSource keySource(setupKeyDer, true);
    key.Load(keySource);
    Verifier verifier(key);
    // The only flag: raise on failure, with the signature taken from the end of the input.
    CryptoPP::SignatureVerificationFilter filter(
        verifier, nullptr, CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION);
    if (!headerTolerant) {
      FeedRun(file, dataOffset, buffer, filter, cancel);
    } else {
      if (dataOffset < kMinTolerantDataOffset) return {PassResult::kBelowMinimum, {}};
      if (!FeedTolerant(file, dataOffset, buffer, filter, cancel, ranges)) {
        return {PassResult::kNotPe, {}};
      }
    }
    filter.Put(signature.data(), signature.size());
    filter.MessageEnd();
    return {PassResult::kVerified, {}};
  } catch (const support::Sha1CollisionDetected& e) {
    return {PassResult::kCollision, e.what(), FileOffset(e.blockOffset(), ranges)};
  } catch (const std::exception& e) {
    return {PassResult::kInvalid, e.what()};
  }
}

PassResult OpenAndRunPass(const Source& source, const std::string& setupKeyDer, bool headerTolerant,
                          const Document& document, const std::atomic<bool>* cancel) {
  platform::File file = source.Open();
  if (!file.IsOpen()) return {PassResult::kCannotOpen, {}};
  return RunPass(file, setupKeyDer, headerTolerant, document, cancel);
}

// A pass that found a collision attack fails the check, whichever pass it was.
bool RefuseCollision(const PassResult& result, const Source& source, bool headerTolerant,
                     SetupSignatureOutcome* outcome) {
  const std::string text = support::CollisionText(result.at);
  support::TraceCollision(result.at, source.path.empty() ? std::string("the setup program")
                                                         : support::WideToUtf8(source.path, true));
  Decide(outcome, headerTolerant, false, text + " (file offset)");
  return false;
}

// The header-tolerant pass's verdict, with its trace line when the signature does not verify.
bool FinishTolerant(const PassResult& result, const Source& source,
                    SetupSignatureOutcome* outcome) {
  switch (result.kind) {
    case PassResult::kVerified: Decide(outcome, true, true, std::string()); return true;
    case PassResult::kCannotOpen:
      Decide(outcome, true, false, "the file cannot be opened");
      return false;
    case PassResult::kBelowMinimum:
      Decide(outcome, true, false, "the _SG2 data start below offset 512");
      return false;
    case PassResult::kNotPe:
      Decide(outcome, true, false,
             "no header skip ranges (not a PE32/PE32+ with 1 to 15 "
             "sections and its headers in the first 312 bytes)");
      return false;
    case PassResult::kCollision: return RefuseCollision(result, source, true, outcome);
    case PassResult::kInvalid: break;
  }
  support::Trace("Signature not valid: %s\n", result.message.c_str());
  Decide(outcome, true, false, "Signature not valid: " + result.message);
  return false;
}

// The header-tolerant pass run beside the plain one on a second thread, when there is a second
// processor and the pass would read the file at all. The plain pass fails on a file signed for
// the tolerant pass only after hashing all of it, so running both at once costs about one pass
// instead of two. Whichever pass verifies first cuts the other short.
class TolerantAlongside {
 public:
  TolerantAlongside(const Source& source, const std::string& setupKeyDer, const Document& document,
                    std::atomic<bool>* cancelPlain)
      : document_(document) {
    if (document.DataOffset() < kMinTolerantDataOffset || std::thread::hardware_concurrency() < 2) {
      return;
    }
    try {
      thread_ = std::thread([this, source, setupKeyDer, cancelPlain] {
        result_ = OpenAndRunPass(source, setupKeyDer, true, document_, &cancel_);
        if (result_.kind == PassResult::kVerified) cancelPlain->store(true);
      });
    } catch (const std::system_error&) {
      // No second thread: the tolerant pass runs after the plain one, as it would anyway.
    }
  }
  ~TolerantAlongside() { Stop(); }

  // The result, when the pass ran over `document` (the one the caller now sees).
  std::optional<PassResult> ResultFor(const Document& document) {
    if (!thread_.joinable()) return std::nullopt;
    if (!(document == document_)) {
      Stop();
      return std::nullopt;
    }
    thread_.join();
    return result_;
  }
  void Stop() {
    if (!thread_.joinable()) return;
    cancel_.store(true);
    thread_.join();
  }

 private:
  const Document document_;
  std::atomic<bool> cancel_{false};
  PassResult result_;
  std::thread thread_;
};

}  // namespace

std::string BuiltinSetupKey() { return verify::PlacedSetupKey(); }

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

namespace {

bool Verify(const Source& source, const std::string& setupKeyDer, bool headerTolerant,
            SetupSignatureOutcome* outcome) {
  const Document document = LoadDocument(source);
  if (outcome != nullptr) outcome->dataOffset = document.located;
  if (const char* reason = MissingSignReason(document)) {
    Decide(outcome, headerTolerant, false, reason);
    return false;
  }

  platform::File file = source.Open();
  if (!file.IsOpen()) {
    Decide(outcome, headerTolerant, false, "the file cannot be opened");
    return false;
  }
  if (headerTolerant) {
    return FinishTolerant(RunPass(file, setupKeyDer, true, document, nullptr), source, outcome);
  }

  std::atomic<bool> cancelPlain{false};
  TolerantAlongside alongside(source, setupKeyDer, document, &cancelPlain);
  const PassResult plain = RunPass(file, setupKeyDer, false, document, &cancelPlain);
  if (plain.kind == PassResult::kVerified) {
    alongside.Stop();
    Decide(outcome, false, true, std::string());
    return true;
  }
  // Half of a collision in the signed bytes as stored: nothing signed over them is trusted, and
  // the header-tolerant pass (which hashes them shifted) is not asked.
  if (plain.kind == PassResult::kCollision) {
    alongside.Stop();
    return RefuseCollision(plain, source, false, outcome);
  }
  // The plain pass failed (or was cut short because the tolerant pass verified): the tolerant
  // pass takes its own look at the document, as a second call would, and its result stands.
  // The file stays open meanwhile (full sharing).
  const Document second = LoadDocument(source);
  if (outcome != nullptr) outcome->dataOffset = second.located;
  if (std::optional<PassResult> result = alongside.ResultFor(second)) {
    return FinishTolerant(*result, source, outcome);
  }
  if (const char* reason = MissingSignReason(second)) {
    Decide(outcome, true, false, reason);
    return false;
  }
  return FinishTolerant(OpenAndRunPass(source, setupKeyDer, true, second, nullptr), source,
                        outcome);
}

}  // namespace

bool VerifySetupSignatureWithKey(std::u16string path, const std::string& setupKeyDer,
                                 bool headerTolerant, SetupSignatureOutcome* outcome) {
  return Verify(Source{std::move(path), nullptr}, setupKeyDer, headerTolerant, outcome);
}

bool VerifySetupSignatureWithKey(const platform::File& held, const std::string& setupKeyDer,
                                 SetupSignatureOutcome* outcome, const std::u16string& name) {
  return Verify(Source{name, &held}, setupKeyDer, false, outcome);
}

bool VerifySetupSignature(const platform::File& held, const std::u16string& name) {
  return VerifySetupSignatureWithKey(held, BuiltinSetupKey(), nullptr, name);
}

}  // namespace verify
