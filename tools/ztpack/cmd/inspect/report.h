// `ztpack inspect` is extensible: besides the sections and the attachment chains that
// command.cc prints itself, every registered inspector adds lines to the text report and one
// member to the JSON report. Inspectors live in the other files of this folder, which are linked
// into the ztpack executable and register themselves with a static InspectorRegistration.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "author/pe_image.h"
#include "cmd/trusted_keys.h"
#include "read/attachment_chain.h"
#include "read/installer_layers.h"
#include "support/result.h"

namespace ztpack {

// What command.cc has found out already, handed to every inspector.
struct InspectContext {
  std::string path;
  uint64_t fileSize = 0;
  std::optional<PeImage> image;  // set when the file parses as a PE
  // The chains: at the last section's end (PE only), at the image end, at the file end.
  std::optional<AttachmentChain> sectionChain;
  AttachmentChain imageChain;
  AttachmentChain fileChain;
  // Public key file (DER or PEM) the bundle's root signature is checked against; empty: the
  // file named by $ZTPACK_ROOT_KEY.
  std::string rootKeyPath;
  // The keys the checks use (cmd/trusted_keys.h); null: the root key from rootKeyPath only.
  const TrustedKeys* keys = nullptr;
  FileKind kind = FileKind::kSetupProgram;
  std::string runMode;  // the installer's, when this file is its setup program or bundle
  int depth = 0;        // 0: the file given; 1: its setup program; ...
};

struct InspectOptions {
  std::string file;
  std::string rootKey, setupKey;
  const TrustedKeys* keys = nullptr;  // resolved once for the file given, handed down
  bool json = false;
  std::string label;    // first line of the text report (default: the path and kind)
  std::string runMode;  // handed down from the installer
  int depth = 0;
};

struct InspectOutput {
  std::vector<std::string> lines;
  nlohmann::json json;
  int exitCode = 0;
};

// The whole report of one file: sections, chains, and every inspector's part. The inspector of
// an installer's LOAD calls it again for the setup program.
support::Result<InspectOutput> InspectFile(const InspectOptions& options);

struct InspectReport {
  std::vector<std::string> lines;  // text report lines, without line breaks
  nlohmann::json member;           // stored under the inspector's name in the JSON report
};

struct Inspector {
  std::string name;  // JSON member name and text section title, e.g. "bundle"
  int order = 100;   // inspectors run in ascending order, then by name
  // Fills the report. An error is shown in the report (as "error" in JSON) and makes inspect
  // exit non-zero, but does not stop the other inspectors.
  std::function<support::Status(const InspectContext& context, InspectReport* report)> run;
};

std::vector<Inspector>& InspectorTable();

struct InspectorRegistration {
  explicit InspectorRegistration(Inspector inspector) {
    InspectorTable().push_back(std::move(inspector));
  }
};

}  // namespace ztpack
