#include "read/installer_layers.h"

#include <cstring>
#include <filesystem>

#include "bundle/bundle_format.h"
#include "bundle/bundle_reader.h"
#include "container/attachment.h"
#include "install_script.h"
#include "os/file_ops.h"
#include "read/attachment_chain.h"
#include "read/diagnostics.h"
#include "read/pe_sections.h"
#include "support/text.h"

namespace ztpack {

const char* FileKindName(FileKind kind) {
  switch (kind) {
    case FileKind::kInstaller: return "installer";
    case FileKind::kSetupProgram: return "setup program";
    case FileKind::kBundle: return "bundle";
  }
  return "?";
}

support::Result<FileKind> ClassifyFile(const std::string& path) {
  fileops::RawFile in = fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead);
  if (!in.IsOpen()) return support::Errorf("%s: cannot open the file", path.c_str());
  char magic[bundle::kMagicSize] = {};
  // One read suffices: a short read of these few bytes means a shorter file, or no bundle.
  const int64_t got = in.ReadAt(0, magic, sizeof magic);
  if (got == static_cast<int64_t>(sizeof magic) &&
      std::memcmp(magic, bundle::kMagic, sizeof magic) == 0) {
    return FileKind::kBundle;
  }
  auto image = ReadPeImage(path);
  if (image) {
    auto chain = WalkAttachmentChain(path, static_cast<int64_t>(image->lastSectionEnd()), false);
    if (chain && FindInChain(*chain, "LOAD") != nullptr) return FileKind::kInstaller;
  }
  return FileKind::kSetupProgram;
}

namespace {

support::Status Unpack(bool fromSection, const std::string& container, const char* type,
                       const std::string& out, int span, UnpackProgress progress) {
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(fileops::U8Path(container), ec);
  Diagnostics diagnostics([&](int percent) {
    if (progress && span > 0) progress(size * static_cast<uint64_t>(percent) / span, size);
  });
  if (container::ExtractAttachmentToFile(fromSection, support::Utf8ToWide(container, true), type,
                                         support::Utf8ToWide(out, true), span, 0)) {
    return {};
  }
  std::string why = diagnostics.Stop();
  return support::Error{why.empty() ? std::string("not extracted") : why};
}

}  // namespace

support::Status UnpackSetupProgram(const std::string& installer, const std::string& setupOut,
                                   UnpackProgress progress) {
  return Unpack(true, installer, "LOAD", setupOut, 100, std::move(progress));
}

support::Status UnpackBundle(const std::string& setup, const std::string& bundleOut,
                             UnpackProgress progress) {
  return Unpack(false, setup, "IBND", bundleOut, 100, std::move(progress));
}

std::string ReadRunMode(const std::string& installer) {
  Diagnostics collected;
  return container::ReadAttachmentToString(support::Utf8ToWide(installer, true), "TYPE");
}

}  // namespace ztpack

namespace ztpack {

support::Status OpenBundleAsInstaller(const std::string& bundlePath, const std::string& rootKeyDer,
                                      bundle::BundleReader* reader) {
  reader->SetGoal(bundle::kWorkerGoal);
  reader->SetMaxChunkSize(bundle::kWorkerMaxChunkSize);
  reader->SetRootKey(rootKeyDer);
  Diagnostics diagnostics;
  if (reader->Open(support::Utf8ToWide(bundlePath, true))) return {};
  std::string why = diagnostics.Joined();
  return support::Error{why.empty() ? std::string("refused") : why};
}

support::Result<std::vector<std::string>> ReadUntrimmedScript(bundle::BundleReader* reader) {
  bundle::EntryHandle* script = reader->OpenEntry("install_script");
  if (script == nullptr) {
    return support::Errorf("no \"install_script\" entry among the first %zu entries",
                           bundle::kMaxCatalogueEntries);
  }
  std::vector<std::string> lines = installer::ReadScriptLines(*reader, script);
  reader->CloseEntry(script);
  return lines;
}

}  // namespace ztpack
