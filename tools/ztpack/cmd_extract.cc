// ztpack extract: a bundle's entries, after the same validation the installer runs.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "bundle/bundle_format.h"
#include "bundle/bundle_reader.h"
#include "bundle_survey.h"
#include "command.h"
#include "keys.h"
#include "platform/platform.h"
#include "support/text.h"
#include "support/trace.h"

namespace ztpack {
namespace {

struct Options {
  std::string file, out, rootKey;
  std::vector<std::string> names;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "ztpack extract: %s\n", message.c_str());
  return 1;
}

void CollectTrace(const char* text, void* context) {
  std::string line(text);
  if (line.rfind("[T ", 0) == 0 && line.size() >= 13) line = line.substr(13);
  static_cast<std::string*>(context)->append("  " + line);
}

int RunExtract(const Options& o) {
  std::string rootDer = bundle::BuiltinRootKey();
  if (!o.rootKey.empty()) {
    auto root = LoadPublicKey(o.rootKey);
    if (!root) return Fail(root.error());
    rootDer = PublicKeyDer(*root);
  }
  bundle::BundleReader reader;
  reader.SetGoal(bundle::kWorkerGoal);
  reader.SetMaxChunkSize(bundle::kWorkerMaxChunkSize);
  reader.SetRootKey(rootDer);
  // The reader's own trace explains a refusal; it is collected and shown with the error.
  std::string trace;
  platform::SetDebugOutputHook(&CollectTrace, &trace);
  support::testing::ForceTrace(1);
  std::fflush(stdout);
  bool opened = reader.Open(support::Utf8ToWide(o.file, true));
  support::testing::ForceTrace(-1);
  platform::SetDebugOutputHook(nullptr, nullptr);
  if (!opened) return Fail(o.file + " does not validate as a bundle for goal IBND:\n" + trace);

  // Every entry name in stream order (the catalogue holds only the first 256).
  auto info = InspectBundle(o.file, rootDer);
  if (!info) return Fail(info.error());
  std::vector<std::string> names;
  std::set<std::string> seen;
  if (o.names.empty()) {
    for (const BundleEntryInfo& e : info->entries) {
      if (seen.insert(e.name).second) names.push_back(e.name);
    }
  } else {
    for (const BundleEntryInfo& e : info->entries) seen.insert(e.name);
    for (const std::string& n : o.names) {
      if (!seen.count(n)) return Fail("no entry named \"" + n + "\" in " + o.file);
      names.push_back(n);
    }
  }
  // Refuse before writing anything.
  std::vector<std::string> relative;
  for (const std::string& n : names) {
    auto rel = SafeRelativePath(n);
    if (!rel) return Fail(rel.error() + "; nothing extracted");
    relative.push_back(*rel);
  }
  std::error_code ec;
  std::filesystem::create_directories(o.out, ec);
  if (ec) return Fail("cannot create " + o.out + ": " + ec.message());
  const bool terminal = ::isatty(2);
  for (size_t i = 0; i < names.size(); ++i) {
    std::filesystem::path target = std::filesystem::path(o.out) / relative[i];
    std::filesystem::create_directories(target.parent_path(), ec);
    if (ec) return Fail("cannot create " + target.parent_path().string() + ": " + ec.message());
    std::string temp = target.string() + ".tmp-" + std::to_string(::getpid());
    if (!reader.ExtractEntry(support::Utf8ToWide(temp, true), names[i])) {
      std::filesystem::remove(temp, ec);
      return Fail("extracting \"" + names[i] + "\" failed (chunk unreadable or does not inflate)");
    }
    std::filesystem::rename(temp, target, ec);
    if (ec) {
      std::filesystem::remove(temp, ec);
      return Fail("cannot rename into " + target.string() + ": " + ec.message());
    }
    if (terminal) std::fprintf(stderr, "\rextract: %zu of %zu entries", i + 1, names.size());
  }
  if (terminal) std::fputc('\n', stderr);
  std::printf("%zu entries extracted into %s\n", names.size(), o.out.c_str());
  return 0;
}

CommandRegistration registration{{
    "extract", "Validate a bundle as the installer does, then write its entries into a directory",
    [](CLI::App& app) -> std::function<int()> {
      auto o = std::make_shared<Options>();
      app.add_option("FILE", o->file, "The bundle")->required();
      app.add_option("NAME", o->names, "Entries to extract (default: all)");
      app.add_option("--out", o->out, "Target directory")->required();
      app.add_option("--root-key", o->rootKey, "Root public key to validate against (default: built in)");
      return [o] { return RunExtract(*o); };
    }}};

}  // namespace
}  // namespace ztpack
