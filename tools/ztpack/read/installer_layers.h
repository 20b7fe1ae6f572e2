// The files of the chain a release engineer holds: a finished installer (a PE whose last
// section carries TYPE and LOAD), the setup program (LOAD, carrying _SG2 in the chain at its
// image end and IBND in the chain at its file end), and the bundle (IBND). `inspect`, `verify`
// and `extract` accept any of them and descend from there with the front end's own readers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/result.h"

namespace ztpack {

enum class FileKind { kInstaller, kSetupProgram, kBundle };
const char* FileKindName(FileKind kind);

// A bundle when the file starts with the bundle magic; an installer when it is a PE whose chain
// at the end of its last section holds a LOAD attachment; anything else is taken for a setup
// program. Fails only when the file cannot be read.
support::Result<FileKind> ClassifyFile(const std::string& path);

// Progress of an unpacking step, in bytes of the container file (estimated from the reader's
// percentages).
using UnpackProgress = std::function<void(uint64_t done, uint64_t total)>;

// The installer's step: LOAD from the chain at the end of the installer's last section, written
// to `setupOut` (the front end's ExtractAttachmentToFile). The error is the reader's own last
// word on the failure.
support::Status UnpackSetupProgram(const std::string& installer, const std::string& setupOut,
                                   UnpackProgress progress = nullptr);
// The next step: IBND from the chain at the very end of the setup program.
support::Status UnpackBundle(const std::string& setup, const std::string& bundleOut,
                             UnpackProgress progress = nullptr);

// The TYPE attachment as the front end reads it (from the chain at the last section's end),
// before the trim; empty when there is none.
std::string ReadRunMode(const std::string& installer);

}  // namespace ztpack

namespace bundle {
class BundleReader;
}

namespace ztpack {

// Opens `bundlePath` as the front end does (goal IBND, its chunk limit, validation against
// `rootKeyDer`); the error is the reader's own last word on a refusal.
support::Status OpenBundleAsInstaller(const std::string& bundlePath, const std::string& rootKeyDer,
                                      bundle::BundleReader* reader);

// The install script's lines as the worker reads them (untrimmed), or an error when the bundle
// has no "install_script" entry it can open.
support::Result<std::vector<std::string>> ReadUntrimmedScript(bundle::BundleReader* reader);

}  // namespace ztpack
