#include "setup_signer.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <vector>

#include "attachment_writer.h"
#include "bundle_survey.h"
#include "container/attachment.h"
#include "file_ops.h"
#include "container/pe_locator.h"
#include "pe_image.h"
#include "platform/platform.h"
#include "support/text.h"
#include "verify/bundle_binding.h"
#include "verify/setup_signature.h"

namespace ztpack {
namespace {

using ull = unsigned long long;

constexpr char kSignatureType[] = "_SG2";
constexpr char kBundleType[] = "IBND";
constexpr size_t kHashChunk = 1 << 20;
// The header-tolerant pass needs e_lfanew below this (the PE headers lie in the first bytes).
constexpr uint32_t kMaxTolerantLfanew = 312;

std::u16string Wide(const std::string& path) { return support::Utf8ToWide(path, true); }

// Removes a temporary file when the signing fails half way.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    if (!path_.empty()) fileops::RemoveFile(path_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

std::string TempPathBeside(const std::string& output, const char* tag) {
  static int counter = 0;
  return output + ".sign-" + tag + "-" + std::to_string(fileops::ProcessId()) + "-" +
         std::to_string(counter++);
}

// Signs the bytes [0, end) of the file, the ranges left out: the digest the check recomputes.
support::Result<std::string> SignRegion(const RsaPrivateKey& key, const std::string& path,
                                        int64_t end,
                                        const std::vector<container::ByteRange>& skip) {
  platform::File file = platform::File::Open(Wide(path), platform::OpenMode::kRead);
  if (!file.IsOpen()) return support::Errorf("%s: cannot open the file for signing", path.c_str());
  StreamingSigner signer(key);
  std::vector<uint8_t> buffer(kHashChunk);
  auto feed = [&](int64_t from, int64_t to) -> support::Status {
    while (from < to) {
      size_t want = static_cast<size_t>(std::min<int64_t>(to - from, kHashChunk));
      int64_t got = file.ReadAt(static_cast<uint64_t>(from), buffer.data(), want);
      if (got != static_cast<int64_t>(want)) {
        return support::Errorf("%s: reading 0x%zx bytes at 0x%llx for the signature failed",
                               path.c_str(), want, static_cast<ull>(from));
      }
      signer.Update(buffer.data(), want);
      from += got;
    }
    return {};
  };
  int64_t at = 0;
  for (const container::ByteRange& range : skip) {
    if (range.offset < at || range.length < 0 || int64_t{range.offset} + range.length > end) {
      return support::Errorf("%s: header skip range (0x%x, %d) does not fit the signed region",
                             path.c_str(), range.offset, range.length);
    }
    support::Status status = feed(at, range.offset);
    if (!status) return support::Error{status.error()};
    at = int64_t{range.offset} + range.length;
  }
  support::Status status = feed(at, end);
  if (!status) return support::Error{status.error()};
  return signer.Finish();
}

support::Status ZeroCheckSum(const std::string& path, uint64_t offset) {
  std::fstream file(fileops::U8Path(path), std::ios::in | std::ios::out | std::ios::binary);
  const char zero[4] = {};
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(zero, sizeof zero);
  file.flush();
  if (!file) return support::Errorf("%s: cannot clear CheckSum at 0x%llx", path.c_str(), static_cast<ull>(offset));
  return {};
}

support::Result<int64_t> LocateDocument(const std::string& path) {
  int32_t dataOffset = -1;
  std::string data = container::ReadAttachmentWithOffset(Wide(path), kSignatureType, &dataOffset);
  if (data.empty() || dataOffset < 0) {
    return support::Errorf("%s: the %s attachment just written cannot be read back where the "
                           "installer looks for it", path.c_str(), kSignatureType);
  }
  return int64_t{dataOffset};
}

support::Result<bool> StartsWithMz(const std::string& path) {
  platform::File file = platform::File::Open(Wide(path), platform::OpenMode::kRead);
  if (!file.IsOpen()) return support::Errorf("%s: cannot open the setup program", path.c_str());
  uint8_t magic[2] = {};
  int64_t got = file.ReadAt(0, magic, 2);
  if (got < 0) return support::Errorf("%s: cannot read the setup program", path.c_str());
  return got == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

// The checks the header-tolerant pass makes of the headers, done before anything is written so
// that the refusal names the cause.
support::Status CheckTolerantLimits(const PeImage& image, uint16_t sectionsAfter,
                                    const std::string& p) {
  if (sectionsAfter > kMaxTolerantSections) {
    return support::Errorf(
        "%s: %u sections after adding %s, but the installer's header-tolerant signature check "
        "handles at most %u; link the setup program with fewer sections (strip it: -s) or sign "
        "with --plain (which a later Authenticode signature breaks)",
        p.c_str(), sectionsAfter, container::kSectionName, kMaxTolerantSections);
  }
  if (image.lfanew >= kMaxTolerantLfanew) {
    return support::Errorf("%s: e_lfanew 0x%x: the header-tolerant signature check needs the PE "
                           "headers to start below 0x%x; sign with --plain",
                           p.c_str(), image.lfanew, kMaxTolerantLfanew);
  }
  if (image.machine != 0x014C && image.machine != 0x8664) {
    return support::Errorf("%s: Machine 0x%04x: the header-tolerant signature check handles "
                           "i386 (0x014c) and x64 (0x8664) only; sign with --plain",
                           p.c_str(), image.machine);
  }
  return {};
}

support::Status Rename(const std::string& from, const std::string& to) {
  if (!fileops::RenameOnto(from, to)) {
    return support::Errorf("%s: cannot rename the signed file onto it: %s", to.c_str(),
                           fileops::LastErrorText().c_str());
  }
  return {};
}

}  // namespace

std::string MakeSignatureDocument(std::string_view signature, std::string_view bundleDigest) {
  std::string doc = "{\"sign\":\"" + verify::DigestText(std::string(signature)) + "\"";
  if (!bundleDigest.empty()) {
    doc += ",\"" + std::string(verify::kBundleMember) + "\":\"" + std::string(bundleDigest) + "\"";
  }
  doc += "}";
  return doc;
}

support::Result<std::string> BundleBindingDigest(const std::string& path) {
  auto info = InspectBundle(path, std::string());
  if (!info) return support::Errorf("cannot bind to %s: %s", path.c_str(), info.error().c_str());
  if (info->signedDigest.empty()) {
    return support::Errorf("cannot bind to %s: its bundle signature is not valid (%s)",
                           path.c_str(), info->bundleSignature.text.c_str());
  }
  return verify::DigestText(info->signedDigest);
}

support::Result<SignSetupSummary> SignSetup(const RsaPrivateKey& key,
                                            const SignSetupOptions& options) {
  const std::string& in = options.input;
  SignSetupSummary summary;
  auto mz = StartsWithMz(in);
  if (!mz) return support::Error{mz.error()};
  summary.pe = *mz;
  summary.plain = options.plain || !summary.pe;

  // The binding is the last attachment in front of the document, inside the signed bytes.
  std::vector<AttachmentInput> leading = options.leading;
  if (!options.bindBundle.empty()) {
    auto digest = BundleBindingDigest(options.bindBundle);
    if (!digest) return support::Error{digest.error()};
    summary.boundTo = *digest;
    leading.push_back(AttachmentInput::FromBytes(verify::kBindingType, *digest));
  }
  const std::string placeholder =
      MakeSignatureDocument(std::string(SignatureLength(key), '\0'), summary.boundTo);
  std::vector<AttachmentInput> bundle;
  if (!options.bundle.empty()) bundle.push_back(AttachmentInput::FromFile(kBundleType, options.bundle));

  auto withDocument = [&](const std::string& document) {
    std::vector<AttachmentInput> chain = leading;
    chain.push_back(AttachmentInput::FromBytes(kSignatureType, document));
    return chain;
  };
  std::optional<PeImage> image;
  if (summary.pe) {
    auto parsed = ReadPeImage(in);
    if (!parsed) return support::Error{parsed.error()};
    image = std::move(*parsed);
    auto chainSize = ChainSize(withDocument(placeholder));
    if (!chainSize) return support::Error{chainSize.error()};
    auto plan = PlanBundleSection(*image, *chainSize, in);
    if (!plan) return support::Error{plan.error()};
    if (!summary.plain) {
      support::Status limits = CheckTolerantLimits(*image, plan->numberOfSections, in);
      if (!limits) return support::Error{limits.error()};
    }
  }
  // Writes the layout with the given document: a PE gets it in a .ZTBNDL last section (nothing
  // in front of the document depends on its content but CheckSum, which the header-tolerant
  // pass skips and plain mode keeps at 0); any other file gets it appended at its end.
  auto write = [&](const std::string& path, const std::string& document) -> support::Status {
    if (!summary.pe) return AppendAttachments(in, withDocument(document), path);
    support::Status status = WriteBundleSection(in, path, withDocument(document));
    if (status && summary.plain) status = ZeroCheckSum(path, image->checkSumOffset());
    return status;
  };

  // First the final layout with a placeholder document of the final length, then the
  // signature over what the check will read of it.
  TempFile draft(TempPathBeside(options.output, "draft"));
  support::Status status = write(draft.path(), placeholder);
  if (!status) return support::Error{status.error()};
  auto dataOffset = LocateDocument(draft.path());
  if (!dataOffset) return support::Error{dataOffset.error()};
  std::vector<container::ByteRange> ranges;
  if (!summary.plain) {
    platform::File f = platform::File::Open(Wide(draft.path()), platform::OpenMode::kRead);
    if (!container::CollectHeaderSkipRanges(&f, &ranges) || ranges.size() < 2) {
      return support::Errorf("%s: the installer finds no header skip ranges in the signed "
                             "layout; sign with --plain", in.c_str());
    }
    if (*dataOffset < verify::kMinTolerantDataOffset) {
      return support::Errorf("%s: the signature document would start at 0x%llx, below the "
                             "0x%x the header-tolerant check requires", in.c_str(),
                             static_cast<ull>(*dataOffset), verify::kMinTolerantDataOffset);
    }
  }
  auto signature = SignRegion(key, draft.path(), *dataOffset, ranges);
  if (!signature) return support::Error{signature.error()};

  TempFile signedFile(TempPathBeside(options.output, "out"));
  status = write(signedFile.path(), MakeSignatureDocument(*signature, summary.boundTo));
  if (!status) return support::Error{status.error()};
  if (!bundle.empty() && !(status = AppendAttachments(signedFile.path(), bundle))) {
    return support::Error{status.error()};
  }
  summary.dataOffset = *dataOffset;

  // The installer's own check, against the public half, before the file takes the output's
  // name: a file that cannot verify is never written.
  verify::SetupSignatureOutcome outcome;
  bool verified = false;
  {
    StdoutToStderr quiet;
    verified = verify::VerifySetupSignatureWithKey(Wide(signedFile.path()), PublicKeyDer(key),
                                                   false, &outcome);
  }
  if (!verified || outcome.headerTolerant == summary.plain) {
    return support::Errorf("%s: the signed file does not pass the installer's %s check (%s)",
                           options.output.c_str(), summary.plain ? "plain" : "header-tolerant",
                           verified ? "another pass accepted it" : outcome.reason.c_str());
  }
  if (!summary.boundTo.empty()) {
    const verify::BundleBinding binding = verify::ReadBundleBinding(Wide(signedFile.path()));
    if (binding.signedDigest != summary.boundTo || binding.memberDigest != summary.boundTo) {
      return support::Errorf("%s: the installer does not read back the binding to bundle %s",
                             options.output.c_str(), summary.boundTo.c_str());
    }
  }
  status = Rename(signedFile.path(), options.output);
  if (!status) return support::Error{status.error()};
  signedFile.Release();
  return summary;
}

StdoutToStderr::StdoutToStderr() {
  std::cout.flush();
  std::fflush(stdout);
  saved_ = fileops::RedirectStdout(stderr);
}

StdoutToStderr::~StdoutToStderr() {
  std::cout.flush();
  std::fflush(stdout);
  fileops::RestoreStdout(saved_);
}

}  // namespace ztpack
