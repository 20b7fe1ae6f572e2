#include "read/script_check.h"

#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "author/bundle_writer.h"
#include "author/keys.h"
#include "bundle/bundle_format.h"
#include "bundle/bundle_reader.h"
#include "os/scratch_dir.h"
#include "read/bundle_description.h"
#include "read/diagnostics.h"
#include "read/escape.h"
#include "support/text.h"

namespace ztpack {
namespace {

// Bytes as a person can read them: printable ASCII but the space, backslash and quote as is.
std::string Escaped(const std::string& bytes) { return EscapeBytes(bytes, 0x21, "\\\""); }

// Script text in a message: as written, only control bytes, bytes 0x80-0xFF and quotes escaped.
std::string Shown(const std::string& text) { return EscapeBytes(text, 0x20, "\""); }

std::string PlatformList(const std::vector<int>& platforms) {
  if (platforms.size() == installer::kPlatformClassCount) return "every platform";
  std::string text;
  for (int p : platforms) {
    text += std::string(text.empty() ? "" : ", ") + installer::kPlatformClasses[p].name;
  }
  return text;
}

// Names for a message: the first few, then how many more.
std::string NameList(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < 5; ++i) {
    text += (i ? ", \"" : "\"") + names[i] + "\"";
  }
  if (names.size() > 5) text += " and " + std::to_string(names.size() - 5) + " more";
  return text;
}

}  // namespace

size_t ScriptCheck::ErrorCount() const {
  size_t n = 0;
  for (const ScriptFinding& f : findings) n += f.error ? 1 : 0;
  return n;
}

size_t ScriptCheck::WarningCount() const { return findings.size() - ErrorCount(); }

const ScriptFinding* ScriptCheck::FailureOn(int platform) const {
  for (const ScriptFinding& f : findings) {
    for (int p : f.failsOn) {
      if (p == platform) return &f;
    }
  }
  return nullptr;
}

ScriptCheck CheckScript(const std::vector<std::string>& rawLines,
                        const std::vector<std::string>& entryNames,
                        const std::vector<std::string>& modes) {
  ScriptCheck check;
  check.modes = modes;
  check.extractions.resize(modes.size());
  check.lineCount = rawLines.size();
  std::unordered_map<std::string, size_t> entryIndex;
  for (size_t i = 0; i < entryNames.size(); ++i) entryIndex.emplace(entryNames[i], i);
  std::set<std::string> used;
  const auto& platforms = installer::kPlatformClasses;

  int lineNumber = 1;
  for (size_t i = 0; i < rawLines.size(); ++i) {
    const int line = lineNumber;
    std::string raw = rawLines[i];
    const bool complete = !raw.empty() && raw.back() == '\n';
    if (complete) {
      raw.pop_back();  // the line feed ends the line; that the trim drops it changes nothing
      ++lineNumber;
    } else if (i + 1 < rawLines.size()) {
      check.findings.push_back({false,
                                line,
                                "longer than " +
                                    std::to_string(installer::kScriptLineBufferSize - 1) +
                                    " bytes: the installer reads it as several lines",
                                {}});
    }
    const std::string trimmed = installer::TrimScriptLine(raw);
    auto first = installer::DecideScriptLine(trimmed, platforms[0].representative,
                                             modes.empty() ? "" : modes[0], kShortestWorkspacePath);
    if (first.kind == installer::ScriptLineAction::kComment) continue;
    ++check.directiveCount;

    if (trimmed != raw) {
      size_t start = raw.find(trimmed);
      std::string text = "the installer's trim changes this line:";
      if (start > 0) text += " it drops \"" + Escaped(raw.substr(0, start)) + "\" at its start";
      if (start + trimmed.size() < raw.size()) {
        text += std::string(start > 0 ? " and" : " it drops") + " \"" +
                Escaped(raw.substr(start + trimmed.size())) + "\" at its end";
      }
      check.findings.push_back({false, line, text + " (blanks, or bytes 0x80-0xFF)", {}});
    }
    if (first.fieldCount < 3) {
      check.findings.push_back(
          {true,
           line,
           "\"" + Shown(trimmed) + "\" has " + std::to_string(first.fieldCount) +
               " field(s); a directive needs condition,entry,target (the installer skips it)",
           {}});
      continue;
    }

    std::vector<int> refusedOn, missingOn;
    bool tooLongForALongWorkspace = false;
    const char* problem = nullptr;
    bool selected = false;
    for (size_t m = 0; m < modes.size(); ++m) {
      for (size_t p = 0; p < platforms.size(); ++p) {
        auto action = installer::DecideScriptLine(trimmed, platforms[p].representative, modes[m],
                                                  kShortestWorkspacePath);
        if (action.kind == installer::ScriptLineAction::kSkipped) continue;
        selected = true;
        auto note = [&](std::vector<int>* on) {
          if (on->empty() || on->back() != static_cast<int>(p)) on->push_back(static_cast<int>(p));
        };
        if (action.kind == installer::ScriptLineAction::kRefusedTarget) {
          problem = action.problem;
          note(&refusedOn);
        } else if (!entryIndex.count(action.entry)) {
          note(&missingOn);
        } else {
          used.insert(action.entry);
          check.extractions[m][p].push_back({line, action.entry, action.target});
        }
        if (action.kind == installer::ScriptLineAction::kExtract &&
            installer::TargetLengthProblem(kLongWorkspacePath,
                                           support::Utf8ToWide(action.target)) != nullptr) {
          tooLongForALongWorkspace = true;
        }
      }
    }
    std::string modeText;
    for (const std::string& mode : modes) modeText += (modeText.empty() ? "" : " or ") + mode;
    if (!selected) {
      check.findings.push_back({false,
                                line,
                                "the condition \"" + Shown(trimmed.substr(0, trimmed.find(','))) +
                                    "\" selects this line on no platform in run mode " + modeText,
                                {}});
    }
    if (!refusedOn.empty()) {
      const std::u16string target = support::Utf8ToWide(first.target);
      const bool tooLong = installer::TargetPathProblem(target) == nullptr;
      check.findings.push_back(
          {true, line,
           "target \"" + Shown(first.target) + "\" is refused by the installer (" + problem +
               (tooLong ? " even below the shortest workspace, " +
                              std::string(kShortestWorkspaceExample) + " (" +
                              std::to_string(kShortestWorkspacePath) + " characters)"
                        : std::string()) +
               "); it fails on " + PlatformList(refusedOn),
           refusedOn});
    }
    if (tooLongForALongWorkspace) {
      const char* longProblem =
          installer::TargetLengthProblem(kLongWorkspacePath, support::Utf8ToWide(first.target));
      check.findings.push_back({false,
                                line,
                                "target \"" + Shown(first.target) +
                                    "\" fits the shortest workspace but not a long one: an "
                                    "installer whose workspace path has " +
                                    std::to_string(kLongWorkspacePath) + " characters (" +
                                    kLongWorkspaceExample + ", not elevated) refuses it (" +
                                    longProblem + ")",
                                {}});
    }
    if (!missingOn.empty()) {
      check.findings.push_back({true, line,
                                "entry \"" + Shown(first.entry) +
                                    "\" is not in the bundle; the installer fails on " +
                                    PlatformList(missingOn),
                                missingOn});
    }
  }

  std::vector<std::string> unused, late;
  for (size_t i = 0; i < entryNames.size(); ++i) {
    const std::string& name = entryNames[i];
    if (name != "install_script" && !used.count(name) && entryIndex[name] == i) {
      unused.push_back(name);
    }
    if (i >= bundle::kMaxCatalogueEntries) late.push_back(name);
  }
  if (!unused.empty()) {
    check.findings.push_back({false,
                              0,
                              std::to_string(unused.size()) + " entr" +
                                  (unused.size() == 1 ? "y" : "ies") +
                                  " no selected directive uses: " + NameList(unused),
                              {}});
  }
  if (!late.empty()) {
    check.findings.push_back(
        {false,
         0,
         std::to_string(late.size()) + " entr" + (late.size() == 1 ? "y lies" : "ies lie") +
             " past the 256th, which the installer can extract but not open: " + NameList(late),
         {}});
  }
  return check;
}

void CheckExpiry(uint32_t expiry, int64_t now, ScriptCheck* check) {
  if (expiry == 0 || static_cast<int64_t>(expiry) >= now) return;
  check->findings.push_back({false,
                             0,
                             "the public key block's expiry " + FormatUtc(expiry) +
                                 " has passed (the installer does "
                                 "not compare it with the clock, but a renewed certificate is due)",
                             {}});
}

namespace {
support::Result<std::vector<std::string>> ReadScriptInputAsInstaller(const BundleInput& input) {
  const std::string& path = input.path;
  auto scratch = ScratchDir::Create({}, "ztpack-script-");
  if (!scratch) return support::Error{scratch.error()};
  // Any key serves: the bundle lives only as long as this call.
  auto key = GenerateKey(1024, 65537);
  if (!key) return support::Error{key.error()};
  auto block = MakePublicKeyBlock(*key, PublicKeyDer(*key), bundle::kWorkerGoal, 0);
  if (!block) return support::Error{block.error()};
  const std::string bundlePath = **scratch / "ibnd";
  support::Status written = WriteBundle(bundlePath, {input}, *key, *block, BundleOptions{});
  if (!written) return support::Error{written.error()};

  Diagnostics quiet;
  bundle::BundleReader reader;
  reader.SetGoal(bundle::kWorkerGoal);
  reader.SetMaxChunkSize(bundle::kWorkerMaxChunkSize);
  reader.SetRootKey(PublicKeyDer(*key));
  if (!reader.Open(support::Utf8ToWide(bundlePath, true))) {
    return support::Errorf("%s: the install script could not be read back (%s)", path.c_str(),
                           quiet.Stop().c_str());
  }
  bundle::EntryHandle* script = reader.OpenEntry("install_script");
  if (script == nullptr)
    return support::Errorf("%s: the install script could not be opened", path.c_str());
  std::vector<std::string> lines = installer::ReadScriptLines(reader, script);
  reader.CloseEntry(script);
  reader.Close();
  return lines;
}
}  // namespace

support::Result<std::vector<std::string>> ReadScriptFileAsInstaller(const std::string& path) {
  return ReadScriptInputAsInstaller(BundleInput{"install_script", path, std::nullopt});
}

support::Result<std::vector<std::string>> ReadScriptAsInstaller(const std::string& bytes,
                                                                const std::string& what) {
  return ReadScriptInputAsInstaller(BundleInput{"install_script", what, bytes});
}

std::vector<std::string> DescribeFindings(const ScriptCheck& check) {
  std::vector<std::string> lines;
  for (const ScriptFinding& f : check.findings) {
    std::string where =
        f.line > 0 ? "install script line " + std::to_string(f.line) + ": " : "install script: ";
    lines.push_back(std::string(f.error ? "error: " : "warning: ") + where + f.text);
  }
  return lines;
}

bool IsAcceptedRunMode(const std::string& mode) { return mode == "gui" || mode == "silent"; }

}  // namespace ztpack
