// Signing a setup program: the writing side of the installer's embedded signature check
// (InstallerLogic/verify/setup_signature.h).
//
// The setup program carries a `_SG2` attachment, the signature document {"sign":"<hex>"},
// whose signature covers every byte in front of the document's data. The check hashes those
// bytes in one of two ways, and what is signed decides which pass accepts the file:
//
//   - header-tolerant (the default for a PE): the bytes in front of the document with the
//     header skip ranges of the FINAL file left out (NumberOfSections, SizeOfImage, CheckSum,
//     the certificate-table entry, the section-header slack). Such a file fails the plain pass
//     and passes the header-tolerant one, before and after a later Authenticode signature, which
//     only changes skipped fields and appends behind the image.
//   - plain (--plain, and always for a file that is not a PE): every byte in front of the
//     document. A later Authenticode signature breaks it.
//
// For a PE the document goes into a ".ZTBNDL" last section laid out as for the front end (its
// end is the end of the image), so that the chain the check reads ends where the image ends and
// an Authenticode certificate table behind it does not hide it. Since the skip ranges and the
// document's place depend on the final layout, the file is first written with a placeholder
// document of the final length (a PKCS #1 v1.5 signature has the modulus' length, so its hex
// text has a fixed length), the signature is computed over that file, and the real document is
// written over the placeholder: the bytes in front of the document do not change, except the
// CheckSum, which the header-tolerant pass skips and which is then computed again. In plain
// mode CheckSum is signed, so it stays 0 ("not computed").
//
// The file is written once, beside the output, and everything the signature depends on is read
// back through the handle that wrote it (OutputFile::ReadBackName), never by its name: whoever
// can write the output's directory could otherwise swap the file between writing and signing,
// and the setup key would sign their program.
//
// For a file that is not a PE the document is appended as an attachment at the end; the
// signed region is then the whole input (and any attachments put in front of the document).
//
// A setup program can be bound to one bundle (InstallerLogic/verify/bundle_binding.h): the
// bundle's signed digest goes into a `_BND` attachment directly in front of the document, where
// the signature covers it, and into the document's "bundle" member. The bundle need not be
// attached here, so that the binding also serves the Authenticode order below.
//
// A bundle given to SignSetup is opened once, and everything read of it (the binding digest, the
// bytes appended) comes from that open file, whatever its name holds meanwhile (on Windows it is
// held shared for reading only). A bundle given to SignSetup is appended as the `IBND` attachment
// at the very end of the file.
// An Authenticode signature appends its certificate table at the end of the file, so a setup
// program that is to be Authenticode-signed gets its bundle afterwards (`ztpack attach --type
// IBND`), where the installer looks for it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <vector>

#include "author/attachment_writer.h"
#include "author/keys.h"
#include "support/result.h"

namespace ztpack {

// The header-tolerant pass can handle at most this many sections.
constexpr unsigned kMaxTolerantSections = 15;

// {"sign":"<hex>"} for a signature, upper-case hex digits; with a bound bundle's digest text
// (40 hex digits) {"sign":"<hex>","bundle":"<digest>"}.
std::string MakeSignatureDocument(std::string_view signature, std::string_view bundleDigest = {});

// The digest text (verify::DigestText) a setup program is bound to for the bundle at `path`:
// the SHA-1 its signature signs. Refused when the bundle's signature does not verify under the
// key its public key block carries (the root key is not checked here).
// `shownAs` names it in errors when `path` is another name of it (an open file's).
support::Result<std::string> BundleBindingDigest(const std::string& path,
                                                 const std::string& shownAs = {});

struct SignSetupOptions {
  std::string input;
  std::string output;
  std::string bundle;  // appended as IBND when not empty
  bool plain = false;  // sign every byte in front of the document
  // Attachments put in front of the document (a PE: in the same .ZTBNDL section); they are
  // part of the signed region.
  std::vector<AttachmentInput> leading;
  std::string bindBundle{};  // the bundle the program is bound to, attached or not; empty: none
  // The digest text of the bundle bound, when the caller knows it (make: from the writer, which
  // signed it); then `bindBundle` is not read. Binds without bindBundle.
  std::string bindDigest{};
};

struct SignSetupSummary {
  bool pe = false;
  bool plain = false;
  int64_t dataOffset = 0;  // where the document's data start in the output
  std::string boundTo;     // the digest text of the bundle bound, empty when none
};

// Writes the signed setup program (beside, then renamed). The signature covers the bytes this
// call wrote, read back through the file it wrote them to, whatever is put under the file's
// name meanwhile. Before the output is committed the new file is checked with the installer's
// own verifier against the key's public half.
support::Result<SignSetupSummary> SignSetup(const SigningKey& key, const SignSetupOptions& options);

namespace test_hooks {
// Called with the output's temporary name once the layout is written and before anything is
// read back for the signature: tests put other bytes under that name there.
void SetDraftWrittenHook(std::function<void(const std::string& tempPath)> hook);
}  // namespace test_hooks

// While alive, the process's standard output goes to standard error: the installer's readers
// print their short diagnostics on standard output, which a tool reserves for its report.
class StdoutToStderr {
 public:
  StdoutToStderr();
  ~StdoutToStderr();
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace ztpack
