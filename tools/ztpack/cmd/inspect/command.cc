// ztpack inspect FILE [--json]: the sections of a PE file and each attachment chain (at the end
// of the last section, at the end of the image, at the end of the file), then whatever the
// registered inspectors (report.h) add. Reads only headers and footers, and streams attachment
// data in bounded pieces for the digests, so memory does not grow with the file.
#include <algorithm>
#include <cstdio>

#include "cmd/command.h"
#include "cmd/inspect/report.h"
#include "container/attachment_format.h"
#include "container/pe_locator.h"
#include "platform/platform.h"
#include "read/escape.h"
#include "read/installer_layers.h"
#include "support/text.h"

namespace ztpack {

std::vector<Inspector>& InspectorTable() {
  static std::vector<Inspector> table;
  return table;
}

namespace {

using ull = unsigned long long;

std::string Hex(uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<ull>(v));
  return text;
}

// Printable form of a type: raw bytes outside ASCII graphics are shown as \xNN.
std::string Printable(const std::string& bytes) { return EscapeBytes(bytes, 0x20, "\\"); }

nlohmann::json ChainJson(const AttachmentChain& chain) {
  nlohmann::json entries = nlohmann::json::array();
  for (const ChainEntry& e : chain.entries) {
    entries.push_back({{"type", Printable(e.type)},
                       {"size", e.size},
                       {"data_offset", e.dataOffset},
                       {"footer_offset", e.footerOffset},
                       {"digest_ok", e.digestMatches}});
  }
  return {{"end", chain.end}, {"attachments", entries}, {"stop", chain.stop}};
}

void ChainText(const char* title, const AttachmentChain& chain, std::vector<std::string>* lines) {
  lines->push_back(std::string("chain at ") + title + " " + Hex(static_cast<uint64_t>(chain.end)) +
                   ": " + std::to_string(chain.entries.size()) + " attachment(s)");
  for (const ChainEntry& e : chain.entries) {
    char text[200];
    std::snprintf(text, sizeof text, "  %-6s size %-10u data at 0x%08llx  digest %s",
                  Printable(e.type).c_str(), e.size, static_cast<ull>(e.dataOffset),
                  e.digestMatches ? "ok" : "MISMATCH");
    lines->push_back(text);
  }
  lines->push_back("  (walk ended: " + chain.stop + ")");
}

// What the file is made of, before the report is written: its size, its PE headers, its three
// chains and the PE checksum as computed.
struct Layout {
  InspectContext context;
  std::string peError;  // why the file is not a PE, when it is not
  std::optional<uint32_t> computedChecksum;
};

// The report as it grows: text lines and the JSON object.
struct Report {
  std::vector<std::string> lines;
  nlohmann::json json;
};

// Step 1: the size and, when the file parses as a PE, its headers and computed checksum.
support::Status ReadHeaders(const InspectOptions& options, platform::File* file, Layout* layout) {
  const int64_t size = file->Size();
  if (size < 0) return support::Errorf("%s: cannot read the file's size", options.file.c_str());
  layout->context.fileSize = static_cast<uint64_t>(size);
  auto image = ReadPeImage(options.file);
  if (!image) {
    layout->peError = image.error();
    return {};
  }
  layout->context.image = *image;
  auto sum = ComputePeChecksum(options.file, image->checkSumOffset());
  if (sum) layout->computedChecksum = *sum;
  return {};
}

// Step 2: the chains at the last section's end (PE only), at the image end and at the file end.
// The three ends often coincide (an unsigned installer ends with its section); each distinct end
// is walked once, so the data are hashed once.
support::Status WalkChains(const InspectOptions& options, platform::File* file, Layout* layout) {
  InspectContext& context = layout->context;
  std::vector<AttachmentChain> walked;
  auto walk = [&](int64_t end) -> support::Result<AttachmentChain> {
    for (const AttachmentChain& chain : walked) {
      if (chain.end == end) return chain;
    }
    auto chain = WalkAttachmentChain(options.file, end, true);
    if (chain) walked.push_back(*chain);
    return chain;
  };
  if (context.image) {
    auto chain = walk(static_cast<int64_t>(context.image->lastSectionEnd()));
    if (!chain) return chain.takeError();
    context.sectionChain = std::move(*chain);
  }
  const int64_t size = static_cast<int64_t>(context.fileSize);
  const uint32_t trailer =
      size < container::kPositionLimit ? container::GetImageTrailerSize(file, 0) : 0;
  auto imageChain = walk(size - trailer);
  auto fileChain = walk(size);
  if (!imageChain || !fileChain) {
    return !imageChain ? imageChain.takeError() : fileChain.takeError();
  }
  context.imageChain = std::move(*imageChain);
  context.fileChain = std::move(*fileChain);
  return {};
}

// Step 3: the first line, the file's size and what kind of file it is.
void ReportFile(const InspectOptions& options, InspectContext* context, Report* report) {
  report->json["file"] = options.file;
  report->json["size"] = context->fileSize;
  if (auto kind = ClassifyFile(options.file)) context->kind = *kind;
  report->json["kind"] = FileKindName(context->kind);
  const std::string size = std::to_string(context->fileSize) + " bytes";
  report->lines.push_back(options.label.empty()
                              ? options.file + ": " + FileKindName(context->kind) + ", " + size
                              : options.label + ", " + size);
}

// Step 4: the PE headers and the section table, or why the file is not a PE.
void ReportPe(const Layout& layout, Report* report) {
  if (!layout.context.image) {
    report->lines.push_back("not a PE file (" + layout.peError + ")");
    report->json["pe"] = nullptr;
    report->json["pe_error"] = layout.peError;
    return;
  }
  const PeImage& pe = *layout.context.image;
  nlohmann::json sections = nlohmann::json::array();
  char text[200];
  std::snprintf(text, sizeof text,
                "%s, machine 0x%04x, %zu section(s), SizeOfImage 0x%x, CheckSum 0x%08x "
                "(computed 0x%08x)",
                pe.is64() ? "PE32+" : "PE32", pe.machine, pe.sections.size(), pe.sizeOfImage,
                pe.checkSum, layout.computedChecksum.value_or(0));
  report->lines.push_back(text);
  report->lines.push_back("  #  name      VirtAddr   VirtSize   RawPtr     RawSize    Flags");
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    const PeSection& s = pe.sections[i];
    std::snprintf(text, sizeof text, "  %-2zu %-9s 0x%08x 0x%08x 0x%08x 0x%08x 0x%08x", i,
                  Printable(s.name).c_str(), s.virtualAddress, s.virtualSize, s.pointerToRawData,
                  s.sizeOfRawData, s.characteristics);
    report->lines.push_back(text);
    sections.push_back({{"name", Printable(s.name)},
                        {"virtual_address", s.virtualAddress},
                        {"virtual_size", s.virtualSize},
                        {"raw_pointer", s.pointerToRawData},
                        {"raw_size", s.sizeOfRawData},
                        {"characteristics", s.characteristics}});
  }
  nlohmann::json peJson = {{"format", pe.is64() ? "PE32+" : "PE32"},
                           {"machine", pe.machine},
                           {"size_of_image", pe.sizeOfImage},
                           {"size_of_headers", pe.sizeOfHeaders},
                           {"checksum", pe.checkSum},
                           {"sections", sections}};
  if (layout.computedChecksum) peJson["checksum_computed"] = *layout.computedChecksum;
  if (auto cert = pe.certificateTable()) {
    peJson["certificate_table"] = {{"offset", cert->address}, {"size", cert->size}};
  }
  report->json["pe"] = peJson;
}

// Step 5: the three chains.
void ReportChains(const InspectContext& context, Report* report) {
  nlohmann::json chains;
  if (context.sectionChain) {
    ChainText("last-section end", *context.sectionChain, &report->lines);
    chains["section"] = ChainJson(*context.sectionChain);
  } else {
    chains["section"] = nullptr;
  }
  ChainText("image end", context.imageChain, &report->lines);
  chains["image"] = ChainJson(context.imageChain);
  ChainText("file end", context.fileChain, &report->lines);
  chains["file"] = ChainJson(context.fileChain);
  report->json["chains"] = chains;
}

// Step 6: every registered inspector's part, in order. Returns the exit code: 1 when an
// inspector reported an error.
int RunInspectors(const InspectContext& context, Report* report) {
  int exitCode = kExitOk;
  std::vector<Inspector> inspectors = InspectorTable();
  std::stable_sort(inspectors.begin(), inspectors.end(),
                   [](const Inspector& a, const Inspector& b) {
                     return a.order != b.order ? a.order < b.order : a.name < b.name;
                   });
  for (const Inspector& inspector : inspectors) {
    InspectReport part;
    support::Status status = inspector.run(context, &part);
    if (part.lines.empty() && part.member.is_null() && status) continue;  // nothing to say here
    report->lines.push_back(inspector.name + ":");
    for (const std::string& line : part.lines) report->lines.push_back("  " + line);
    if (!status) {
      report->lines.push_back("  error: " + status.error());
      if (!part.member.is_object()) part.member = nlohmann::json::object();
      part.member["error"] = status.error();
      exitCode = kExitFailed;
    }
    report->json[inspector.name] = part.member;
  }
  return exitCode;
}

}  // namespace

support::Result<InspectOutput> InspectFile(const InspectOptions& options) {
  Layout layout;
  layout.context.path = options.file;
  layout.context.rootKeyPath = options.rootKey;
  layout.context.keys = options.keys;
  layout.context.runMode = options.runMode;
  layout.context.depth = options.depth;
  platform::File file =
      platform::File::Open(support::Utf8ToWide(options.file, true), platform::OpenMode::kRead);
  if (!file.IsOpen()) return support::Errorf("%s: cannot open the file", options.file.c_str());
  if (auto s = ReadHeaders(options, &file, &layout); !s) return s.takeError();
  if (auto s = WalkChains(options, &file, &layout); !s) return s.takeError();

  Report report;
  ReportFile(options, &layout.context, &report);
  ReportPe(layout, &report);
  ReportChains(layout.context, &report);
  const int exitCode = RunInspectors(layout.context, &report);
  return InspectOutput{std::move(report.lines), std::move(report.json), exitCode};
}

namespace {

constexpr CommandErrors kErrors{"inspect"};

int RunInspect(InspectOptions options) {
  // A key that cannot be read is a usage error here, as in every command, not a finding.
  auto kind = ClassifyFile(options.file);
  if (!kind) return kErrors.Fail(kExitUnusable, kind.error());
  auto keys = ResolveTrustedKeys(options.file, *kind == FileKind::kInstaller, options.rootKey,
                                 options.setupKey);
  if (!keys) return kErrors.Fail(kExitUnusable, keys.error());
  options.keys = &*keys;
  auto output = InspectFile(options);
  if (!output) return kErrors.Fail(kExitUnusable, output.error());
  if (options.json) {
    std::printf("%s\n",
                output->json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    // The lines quote the file (types, entry names, the goal tag, script lines, certificate
    // names): each goes through the one escaping, so none can hide or pass for another.
    for (const std::string& line : output->lines) std::printf("%s\n", EscapeText(line).c_str());
  }
  return output->exitCode;
}

CommandRegistration registration{Command{
    "inspect", "Show the sections, the attachment chains and what the inspectors find in FILE",
    [](CLI::App& app) -> std::function<int()> {
      auto options = std::make_shared<InspectOptions>();
      app.add_option("FILE", options->file, "The file to inspect")->required();
      app.add_flag("--json", options->json, "Print one JSON object instead of text");
      app.add_option("--root-key", options->rootKey, kRootKeyHelp)->check(ExistingFile());
      app.add_option("--setup-key", options->setupKey,
                     "Setup signing public key (DER or PEM) to check a setup program with; for a "
                     "finished installer, the key its stub is expected to hold")
          ->check(ExistingFile());
      return [options] { return RunInspect(*options); };
    }}};

}  // namespace
}  // namespace ztpack
