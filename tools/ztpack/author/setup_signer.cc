#include "author/setup_signer.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <vector>

#include "author/attachment_writer.h"
#include "author/pe_image.h"
#include "container/attachment.h"
#include "container/attachment_format.h"
#include "container/pe_locator.h"
#include "os/file_ops.h"
#include "platform/platform.h"
#include "read/bundle_description.h"
#include "support/byte_reader.h"
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

std::function<void(const std::string&)> draftWrittenHook;

std::u16string Wide(const std::string& path) { return support::Utf8ToWide(path, true); }

// Signs the bytes [0, end) of the output, the ranges left out: the digest the check
// recomputes. Read through the output's own handle: what was written is what gets signed. A
// region that is half of a SHA-1 collision attack is refused, naming `setup`, the input.
support::Result<std::string> SignRegion(const SigningKey& key, OutputFile& file, int64_t end,
                                        const std::vector<container::ByteRange>& skip,
                                        const std::string& setup) {
  const std::string& path = file.target();
  StreamingSigner signer(key);
  std::vector<uint8_t> buffer(kHashChunk);
  auto feed = [&](int64_t from, int64_t to) -> support::Status {
    while (from < to) {
      size_t want = static_cast<size_t>(std::min<int64_t>(to - from, kHashChunk));
      auto got = file.ReadAt(static_cast<uint64_t>(from), buffer.data(), want);
      if (!got) return got.takeError();
      if (*got != want) {
        return support::Errorf("%s: reading 0x%zx bytes at 0x%llx for the signature failed",
                               path.c_str(), want, static_cast<ull>(from));
      }
      signer.Update(buffer.data(), want);
      from += static_cast<int64_t>(want);
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
    if (!status) return status.takeError();
    at = int64_t{range.offset} + range.length;
  }
  support::Status status = feed(at, end);
  if (!status) return status.takeError();
  auto signature = signer.Finish();
  if (std::optional<uint64_t> hashed = signer.collisionAt()) {
    // Back to an offset of the signed layout: the skipped ranges in front of it added back.
    uint64_t offset = *hashed;
    for (const container::ByteRange& range : skip) {
      if (static_cast<uint64_t>(range.offset) <= offset)
        offset += static_cast<uint64_t>(range.length);
    }
    return support::Errorf("%s: %s: refused to sign one half of a SHA-1 collision", setup.c_str(),
                           support::CollisionText(offset).c_str());
  }
  return signature;
}

// Where the installer finds the document's data in the output, read through its own handle:
// the document of `documentLength` bytes just written must be the last thing in the file.
support::Result<int64_t> LocateDocument(const OutputFile& out, size_t documentLength,
                                        const std::string& output) {
  int32_t dataOffset = -1;
  std::string data =
      container::ReadAttachmentWithOffset(Wide(out.ReadBackName()), kSignatureType, &dataOffset);
  if (data.empty() || dataOffset < 0) {
    return support::Errorf(
        "%s: the %s attachment just written cannot be read back where the "
        "installer looks for it",
        out.target().c_str(), kSignatureType);
  }
  const uint64_t documentSize = documentLength + container::kFooterSize;
  if (static_cast<uint64_t>(dataOffset) + documentSize != out.size()) {
    return support::Errorf(
        "%s: the installer finds the %s document at 0x%llx, not at the end "
        "where it was written",
        output.c_str(), kSignatureType, static_cast<ull>(dataOffset));
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
    return support::Errorf(
        "%s: e_lfanew 0x%x: the header-tolerant signature check needs the PE "
        "headers to start below 0x%x; sign with --plain",
        p.c_str(), image.lfanew, kMaxTolerantLfanew);
  }
  if (image.machine != container::kMachineI386 && image.machine != container::kMachineAmd64) {
    return support::Errorf(
        "%s: Machine 0x%04x: the header-tolerant signature check handles "
        "i386 (0x014c) and x64 (0x8664) only; sign with --plain",
        p.c_str(), image.machine);
  }
  return {};
}

// The bundle to append, opened once and held: the binding and the bytes appended both come
// from this one open file. Not open when there is none.
support::Result<fileops::RawFile> OpenBundle(const std::string& bundle) {
  if (bundle.empty()) return fileops::RawFile();
  fileops::RawFile file = fileops::RawFile::Open(bundle, fileops::RawFile::Mode::kReadHeld);
  if (!file.IsOpen()) {
    return support::Errorf("%s: cannot open the bundle: %s", bundle.c_str(),
                           fileops::LastErrorText().c_str());
  }
  return file;
}

// The digest text the program is bound to: the caller's, else that of the bundle named (read
// through `bundleName`, the open file, when it is the bundle appended), else none.
support::Result<std::string> BoundDigest(const SignSetupOptions& options,
                                         const std::string& bundleName) {
  if (!options.bindDigest.empty()) return options.bindDigest;
  if (options.bindBundle.empty()) return std::string();
  return options.bindBundle == options.bundle ? BundleBindingDigest(bundleName, options.bundle)
                                              : BundleBindingDigest(options.bindBundle);
}

// The chain in front of the output's end: the caller's attachments, the binding as the last of
// them (inside the signed bytes), then the signature document.
std::vector<AttachmentInput> ChainWithDocument(const std::vector<AttachmentInput>& leading,
                                               const std::string& boundTo,
                                               const std::string& document) {
  std::vector<AttachmentInput> chain = leading;
  if (!boundTo.empty()) chain.push_back(AttachmentInput::FromBytes(verify::kBindingType, boundTo));
  chain.push_back(AttachmentInput::FromBytes(kSignatureType, document));
  return chain;
}

// The setup program's headers, checked before anything is written: the section for `chain` must
// fit, and unless `plain`, within what the header-tolerant pass handles.
support::Result<PeImage> CheckPeLayout(const std::string& in,
                                       const std::vector<AttachmentInput>& chain, bool plain) {
  auto image = ReadPeImage(in);
  if (!image) return image.takeError();
  auto chainSize = ChainSize(chain);
  if (!chainSize) return chainSize.takeError();
  auto plan = PlanBundleSection(*image, *chainSize, in);
  if (!plan) return plan.takeError();
  if (!plain) {
    support::Status limits = CheckTolerantLimits(*image, plan->numberOfSections, in);
    if (!limits) return limits.takeError();
  }
  return image;
}

// The final layout with a placeholder document of the final length: a PE (`image`) gets it in a
// .ZTBNDL last section, any other file at its end. Nothing in front of the document depends on
// its content but CheckSum, which the header-tolerant pass skips and plain mode keeps at 0.
support::Status WriteDraft(const std::string& in, OutputFile& o,
                           const std::vector<AttachmentInput>& chain,
                           const std::optional<PeImage>& image, bool plain) {
  if (!image) return CopyWithAttachments(in, chain, o);
  support::Status status = WriteBundleSection(in, o, chain);
  if (!status || !plain) return status;
  const uint8_t zero[4] = {};
  return o.WriteAt(image->checkSumOffset(), zero, sizeof zero);
}

// The ranges the signature leaves out: none for the plain pass; for the header-tolerant pass the
// header skip ranges the installer finds in the signed layout, which also needs the document's
// data at `dataOffset` far enough in.
support::Result<std::vector<container::ByteRange>> SkipRanges(const OutputFile& o,
                                                              int64_t dataOffset, bool plain,
                                                              const std::string& in) {
  std::vector<container::ByteRange> ranges;
  if (plain) return ranges;
  // Sharing everything: on Windows the output's own handle holds delete access.
  platform::File f =
      platform::File::Open(Wide(o.ReadBackName()), platform::OpenMode::kReadShareAll);
  if (!container::CollectHeaderSkipRanges(&f, &ranges) || ranges.size() < 2) {
    return support::Errorf(
        "%s: the installer finds no header skip ranges in the signed "
        "layout; sign with --plain",
        in.c_str());
  }
  if (dataOffset < verify::kMinTolerantDataOffset) {
    return support::Errorf(
        "%s: the signature document would start at 0x%llx, below the "
        "0x%x the header-tolerant check requires",
        in.c_str(), static_cast<ull>(dataOffset), verify::kMinTolerantDataOffset);
  }
  return ranges;
}

// The real document over the placeholder at `dataOffset` (the same length).
support::Status WriteDocument(OutputFile& o, int64_t dataOffset, const std::string& signature,
                              const std::string& boundTo) {
  auto document = MakeAttachment(kSignatureType, MakeSignatureDocument(signature, boundTo));
  if (!document) return document.takeError();
  return o.WriteAt(static_cast<uint64_t>(dataOffset), document->data(), document->size());
}

// A PE's CheckSum computed again over the output as it now is.
support::Status StoreChecksum(OutputFile& o, uint64_t checkSumOffset) {
  auto checksum = ComputePeChecksum(o, checkSumOffset);
  if (!checksum) return checksum.takeError();
  uint8_t field[4];
  support::StoreU32le(field, *checksum);
  return o.WriteAt(checkSumOffset, field, sizeof field);
}

// The bundle, through its open file's name, as the IBND attachment at the very end.
support::Status AppendBundle(OutputFile& o, const std::string& bundleName) {
  auto written = WriteAttachments(o, {AttachmentInput::FromFile(kBundleType, bundleName)});
  if (!written) return written.takeError();
  return {};
}

// The installer's own check, against the public half, before the file takes the output's name:
// the pass that accepts it must be the one it was signed for, and the binding must read back.
support::Status CheckAsInstaller(const SigningKey& key, const OutputFile& o,
                                 const SignSetupSummary& summary, const std::string& output) {
  verify::SetupSignatureOutcome outcome;
  bool verified = false;
  {
    StdoutToStderr quiet;
    verified = verify::VerifySetupSignatureWithKey(Wide(o.ReadBackName()), PublicKeyDer(key), false,
                                                   &outcome);
  }
  if (!verified || outcome.headerTolerant == summary.plain) {
    return support::Errorf("%s: the signed file does not pass the installer's %s check (%s)",
                           output.c_str(), summary.plain ? "plain" : "header-tolerant",
                           verified ? "another pass accepted it" : outcome.reason.c_str());
  }
  if (!summary.boundTo.empty()) {
    const verify::BundleBinding binding = verify::ReadBundleBinding(Wide(o.ReadBackName()));
    if (binding.signedDigest != summary.boundTo || binding.memberDigest != summary.boundTo) {
      return support::Errorf("%s: the installer does not read back the binding to bundle %s",
                             output.c_str(), summary.boundTo.c_str());
    }
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

support::Result<std::string> BundleBindingDigest(const std::string& path,
                                                 const std::string& shownAs) {
  const std::string& name = shownAs.empty() ? path : shownAs;
  auto info = InspectBundle(path, std::string());
  if (!info) return support::Errorf("cannot bind to %s: %s", name.c_str(), info.error().c_str());
  if (info->signedDigest.empty()) {
    return support::Errorf("cannot bind to %s: its bundle signature is not valid (%s)",
                           name.c_str(), info->bundleSignature.text.c_str());
  }
  return verify::DigestText(info->signedDigest);
}

support::Result<SignSetupSummary> SignSetup(const SigningKey& key,
                                            const SignSetupOptions& options) {
  const std::string& in = options.input;
  SignSetupSummary summary;
  auto mz = StartsWithMz(in);
  if (!mz) return mz.takeError();
  summary.pe = *mz;
  summary.plain = options.plain || !summary.pe;

  // Held open until the end: everything read of the bundle goes through this file.
  auto bundleFile = OpenBundle(options.bundle);
  if (!bundleFile) return bundleFile.takeError();
  const std::string bundleName =
      options.bundle.empty() ? std::string() : bundleFile->ReadBackName(options.bundle);
  auto boundTo = BoundDigest(options, bundleName);
  if (!boundTo) return boundTo.takeError();
  summary.boundTo = *boundTo;
  const std::string placeholder =
      MakeSignatureDocument(std::string(SignatureLength(key), '\0'), summary.boundTo);
  const std::vector<AttachmentInput> draft =
      ChainWithDocument(options.leading, summary.boundTo, placeholder);

  std::optional<PeImage> image;
  if (summary.pe) {
    auto checked = CheckPeLayout(in, draft, summary.plain);
    if (!checked) return checked.takeError();
    image = std::move(*checked);
  }
  auto out = OutputFile::Create(options.output);
  if (!out) return out.takeError();
  OutputFile& o = **out;
  support::Status status = WriteDraft(in, o, draft, image, summary.plain);
  if (!status) return status.takeError();
  if (draftWrittenHook) draftWrittenHook(o.temp());

  // Then the signature over what the check will read of it. Every read from here on goes
  // through the file written, never through its name: whoever can write the output's directory
  // can put other bytes under that name, and the setup key must sign ztpack's own.
  auto dataOffset = LocateDocument(o, placeholder.size(), options.output);
  if (!dataOffset) return dataOffset.takeError();
  auto ranges = SkipRanges(o, *dataOffset, summary.plain, in);
  if (!ranges) return ranges.takeError();
  auto signature = SignRegion(key, o, *dataOffset, *ranges, in);
  if (!signature) return signature.takeError();

  status = WriteDocument(o, *dataOffset, *signature, summary.boundTo);
  if (status && image && !summary.plain) status = StoreChecksum(o, image->checkSumOffset());
  if (status && !options.bundle.empty()) status = AppendBundle(o, bundleName);
  if (!status) return status.takeError();
  summary.dataOffset = *dataOffset;

  // A file that cannot verify is never written.
  status = CheckAsInstaller(key, o, summary, options.output);
  if (status) status = o.Commit();
  if (!status) return status.takeError();
  return summary;
}

namespace test_hooks {
void SetDraftWrittenHook(std::function<void(const std::string& tempPath)> hook) {
  draftWrittenHook = std::move(hook);
}
}  // namespace test_hooks

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
