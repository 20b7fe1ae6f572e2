// The "bundle" part of `ztpack inspect`: the file itself when it is a bundle, or else the IBND
// attachment at the end of the file (a setup program), unpacked to a temporary file first.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <ctime>
#include <map>
#include "author/keys.h"
#include "bundle/bundle_reader.h"
#include "cmd/command.h"
#include "cmd/inspect/report.h"
#include "container/attachment.h"
#include "os/file_ops.h"
#include "os/scratch_dir.h"
#include "platform/platform.h"
#include "read/bundle_description.h"
#include "read/escape.h"
#include "read/installer_layers.h"
#include "read/script_check.h"
#include "support/text.h"

namespace ztpack {
namespace {

void Discard(const char*, void*) {}

std::string StatusJson(const SignatureStatus& s) {
  return !s.checked ? "unchecked" : s.valid ? "valid" : "invalid";
}

support::Result<std::string> RootKey(const InspectContext& context, std::string* label) {
  if (context.keys != nullptr) {
    *label = context.keys->root.empty() ? "no root key" : "root key " + context.keys->rootLabel;
    return context.keys->root;
  }
  std::string path;
  auto der = RootKeyDer(context.rootKeyPath, &path);
  if (der) *label = path.empty() ? "no root key" : "root key " + path;
  return der;
}

// The install script as the installer reads it, each directive with the platforms that select
// it, and the findings of the build-time checks.
void DescribeScript(const InspectContext& context, const std::string& path,
                    const std::string& rootKey, const BundleInfo& info, InspectReport* report) {
  nlohmann::json& m = report->member["install_script"];
  bundle::BundleReader reader;
  support::Status opened = OpenBundleAsInstaller(path, rootKey, &reader);
  if (!opened) {
    m["error"] = "the bundle does not open as the installer's: " + opened.error();
    report->lines.push_back("  install script: not read (" + opened.error() + ")");
    return;
  }
  auto lines = ReadUntrimmedScript(&reader);
  if (!lines) {
    m["error"] = lines.error();
    report->lines.push_back("  install script: " + lines.error());
    return;
  }
  std::vector<std::string> names;
  for (const BundleEntryInfo& e : info.entries) names.push_back(e.name);
  std::vector<std::string> modes = {context.runMode};
  if (context.runMode.empty()) modes = {"gui", "silent"};
  ScriptCheck check = CheckScript(*lines, names, modes);
  if (info.hasPublicKeyBlock) CheckExpiry(info.expiry, std::time(nullptr), &check);
  std::string modeText;
  for (const std::string& mode : modes) modeText += (modeText.empty() ? "" : ", ") + mode;
  report->lines.push_back("  install script: " + std::to_string(check.lineCount) + " lines, " +
                          std::to_string(check.directiveCount) +
                          " directives; selected in run mode " + modeText + " on:");
  // line -> "mode: platforms"
  std::map<int, std::vector<std::string>> selectedOn;
  for (size_t mi = 0; mi < modes.size(); ++mi) {
    for (size_t p = 0; p < installer::kPlatformClassCount; ++p) {
      for (const ScriptExtraction& x : check.extractions[mi][p]) {
        selectedOn[x.line].push_back((modes.size() > 1 ? modes[mi] + " " : "") +
                                     installer::kPlatformClasses[p].name);
      }
    }
  }
  nlohmann::json lineJson = nlohmann::json::array();
  int number = 1;
  for (const std::string& raw : *lines) {
    std::string text = raw;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::string on;
    for (const std::string& s : selectedOn[number]) on += (on.empty() ? "" : ", ") + s;
    char row[160];
    // Escaped before it is cut and formatted: a zero byte would end the text early.
    std::snprintf(row, sizeof row, "    %4d  %-48s", number,
                  EscapeText(text).substr(0, 48).c_str());
    report->lines.push_back(std::string(row) + (on.empty() ? "" : "  " + on));
    lineJson.push_back({{"line", number}, {"text", text}, {"selected_on", selectedOn[number]}});
    if (!raw.empty() && raw.back() == '\n') ++number;
  }
  for (const std::string& line : DescribeFindings(check)) report->lines.push_back("  " + line);
  nlohmann::json findings = nlohmann::json::array();
  for (const ScriptFinding& f : check.findings) {
    findings.push_back(
        {{"severity", f.error ? "error" : "warning"}, {"line", f.line}, {"text", f.text}});
  }
  m["modes"] = modes;
  m["lines"] = lineJson;
  m["findings"] = findings;
}

support::Status Describe(const InspectContext& context, const std::string& path,
                         const std::string& source, InspectReport* report) {
  std::string rootLabel;
  auto rootKey = RootKey(context, &rootLabel);
  if (!rootKey) return rootKey.takeError();
  auto info = InspectBundle(path, *rootKey);
  if (!info) return info.takeError();
  nlohmann::json& m = report->member;
  auto& lines = report->lines;
  char text[512];
  m["source"] = source;
  m["size"] = info->fileSize;
  m["version"] = info->version;
  m["header_fields"] = {info->headerFields[0], info->headerFields[1], info->headerFields[2]};
  std::snprintf(text, sizeof text, "bundle (%s): %llu bytes, version %u, header fields %u %u %u",
                source.c_str(), static_cast<unsigned long long>(info->fileSize), info->version,
                info->headerFields[0], info->headerFields[1], info->headerFields[2]);
  lines.push_back(text);
  if (info->hasPublicKeyBlock) {
    std::snprintf(text, sizeof text, "  goal tag %s, expiry %u (%s), bundle key %u bits",
                  EscapeText(info->goal).c_str(), info->expiry, FormatUtc(info->expiry).c_str(),
                  info->bundleKeyBits);
    lines.push_back(text);
    m["goal"] = info->goal;
    m["expiry"] = info->expiry;
    m["bundle_key_bits"] = info->bundleKeyBits;
  }
  lines.push_back("  root signature (" + rootLabel + "): " + info->rootSignature.text);
  lines.push_back("  bundle signature: " + info->bundleSignature.text);
  lines.push_back("  stored checksum: " +
                  (info->checksum.checked ? info->checksum.text : "unreadable"));
  m["root_signature"] = StatusJson(info->rootSignature);
  m["bundle_signature"] = StatusJson(info->bundleSignature);
  m["checksum"] = StatusJson(info->checksum);
  std::snprintf(text, sizeof text,
                "  signed region %llu bytes, junk %llu, signature block %u; stream end: %s",
                static_cast<unsigned long long>(info->signedLength),
                static_cast<unsigned long long>(info->junkLength), info->signatureBlockLength,
                info->streamEnd.c_str());
  lines.push_back(text);
  m["signed_length"] = info->signedLength;
  m["junk"] = info->junkLength;
  m["stream_end"] = info->streamEnd;
  nlohmann::json entries = nlohmann::json::array();
  lines.push_back("  " + std::to_string(info->entries.size()) + " entries" +
                  (info->entriesListed ? "" : " listed (more not shown)") + ":");
  for (const BundleEntryInfo& e : info->entries) {
    std::snprintf(
        text, sizeof text, "    %-40s %10llu bytes in %u chunk(s), %llu stored, at 0x%llx",
        EscapeText(e.name).c_str(), static_cast<unsigned long long>(e.inflatedTotal), e.chunkCount,
        static_cast<unsigned long long>(e.storedTotal), static_cast<unsigned long long>(e.offset));
    lines.push_back(text);
    nlohmann::json chunks = nlohmann::json::array();
    for (const BundleChunkInfo& c : e.chunks) {
      std::snprintf(text, sizeof text, "      chunk at 0x%llx: stored %u, inflated %u",
                    static_cast<unsigned long long>(c.dataOffset), c.stored, c.inflated);
      if (e.chunkCount <= 16) lines.push_back(text);
      chunks.push_back({{"offset", c.dataOffset}, {"stored", c.stored}, {"inflated", c.inflated}});
    }
    entries.push_back({{"name", e.name},
                       {"offset", e.offset},
                       {"size", e.inflatedTotal},
                       {"stored", e.storedTotal},
                       {"chunks", chunks}});
  }
  m["entries"] = entries;
  for (const std::string& f : info->chunkFaults) lines.push_back("  fault: " + f);
  m["faults"] = info->chunkFaults;
  DescribeScript(context, path, *rootKey, *info, report);
  return {};
}

support::Status Inspect(const InspectContext& context, InspectReport* report) {
  if (context.kind == FileKind::kInstaller) return {};  // the load part covers an installer
  // ClassifyFile has read the magic: a bundle is the file itself.
  if (context.kind == FileKind::kBundle) {
    return Describe(context, context.path, "the whole file", report);
  }
  const ChainEntry* entry = FindInChain(context.fileChain, "IBND");
  if (entry == nullptr) {
    report->member["present"] = false;
    report->lines.push_back("no bundle: the file is none, and the chain at its end has no IBND");
    return {};
  }
  // In a private directory of its own: a fixed name in the shared temporary directory could be
  // a link someone else planted, which the extraction would follow and overwrite.
  auto scratch = ScratchDir::Create({}, "ztpack-inspect-");
  if (!scratch) return scratch.takeError();
  const std::string temp = **scratch / "ibnd";
  platform::SetDebugOutputHook(&Discard, nullptr);  // no "Progress" lines in the report
  bool ok = container::ExtractAttachmentToFile(false, support::Utf8ToWide(context.path, true),
                                               "IBND", support::Utf8ToWide(temp, true), 0, 0);
  platform::SetDebugOutputHook(nullptr, nullptr);
  if (!ok) {
    return support::Errorf("IBND attachment at 0x%llx: cannot be unpacked (digest mismatch?)",
                           static_cast<unsigned long long>(entry->dataOffset));
  }
  return Describe(context, temp, "IBND attachment", report);
}

InspectorRegistration registration{{"bundle", 50, &Inspect}};

}  // namespace
}  // namespace ztpack
