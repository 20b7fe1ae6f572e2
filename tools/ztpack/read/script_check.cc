#include "read/script_check.h"

#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "bundle/bundle_format.h"
#include "os/file_ops.h"
#include "read/bundle_description.h"
#include "read/escape.h"
#include "script_line.h"
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

namespace {

using EntryIndex = std::unordered_map<std::string, size_t>;

// A warning when the installer's trim changes a directive line.
void NoteTrim(const std::string& raw, const std::string& trimmed, int line, ScriptCheck* check) {
  if (trimmed == raw) return;
  size_t start = raw.find(trimmed);
  std::string text = "the installer's trim changes this line:";
  if (start > 0) text += " it drops \"" + Escaped(raw.substr(0, start)) + "\" at its start";
  if (start + trimmed.size() < raw.size()) {
    text += std::string(start > 0 ? " and" : " it drops") + " \"" +
            Escaped(raw.substr(start + trimmed.size())) + "\" at its end";
  }
  check->findings.push_back({false, line, text + " (blanks, or bytes 0x80-0xFF)", {}});
}

// What a directive of three fields or more does on every platform class in every mode.
struct DirectiveOutcome {
  std::vector<int> refusedOn, missingOn;
  bool tooLongForALongWorkspace = false;
  const char* problem = nullptr;
  bool selected = false;
};

DirectiveOutcome DecideEverywhere(const std::string& trimmed, int line,
                                  const EntryIndex& entryIndex, std::set<std::string>* used,
                                  ScriptCheck* check) {
  DirectiveOutcome out;
  const auto& platforms = installer::kPlatformClasses;
  for (size_t m = 0; m < check->modes.size(); ++m) {
    for (size_t p = 0; p < platforms.size(); ++p) {
      auto action = installer::DecideScriptLine(trimmed, platforms[p].representative,
                                                check->modes[m], kShortestWorkspacePath);
      if (action.kind == installer::ScriptLineAction::kSkipped) continue;
      out.selected = true;
      auto note = [&](std::vector<int>* on) {
        if (on->empty() || on->back() != static_cast<int>(p)) on->push_back(static_cast<int>(p));
      };
      if (action.kind == installer::ScriptLineAction::kRefusedTarget) {
        out.problem = action.problem;
        note(&out.refusedOn);
      } else if (!entryIndex.count(action.entry)) {
        note(&out.missingOn);
      } else {
        used->insert(action.entry);
        check->extractions[m][p].push_back({line, action.entry, action.target});
      }
      if (action.kind == installer::ScriptLineAction::kExtract &&
          installer::TargetLengthProblem(kLongWorkspacePath, support::Utf8ToWide(action.target)) !=
              nullptr) {
        out.tooLongForALongWorkspace = true;
      }
    }
  }
  return out;
}

// The findings about one directive, from what it does everywhere; `first` is its action on the
// first platform class in the first mode (for its fields).
void ReportDirective(const DirectiveOutcome& out, const installer::ScriptLineAction& first,
                     const std::string& trimmed, int line, ScriptCheck* check) {
  std::string modeText;
  for (const std::string& mode : check->modes) modeText += (modeText.empty() ? "" : " or ") + mode;
  if (!out.selected) {
    check->findings.push_back({false,
                               line,
                               "the condition \"" + Shown(trimmed.substr(0, trimmed.find(','))) +
                                   "\" selects this line on no platform in run mode " + modeText,
                               {}});
  }
  if (!out.refusedOn.empty()) {
    const std::u16string target = support::Utf8ToWide(first.target);
    const bool tooLong = installer::TargetPathProblem(target) == nullptr;
    check->findings.push_back(
        {true, line,
         "target \"" + Shown(first.target) + "\" is refused by the installer (" + out.problem +
             (tooLong ? " even below the shortest workspace, " +
                            std::string(kShortestWorkspaceExample) + " (" +
                            std::to_string(kShortestWorkspacePath) + " characters)"
                      : std::string()) +
             "); it fails on " + PlatformList(out.refusedOn),
         out.refusedOn});
  }
  if (out.tooLongForALongWorkspace) {
    const char* longProblem =
        installer::TargetLengthProblem(kLongWorkspacePath, support::Utf8ToWide(first.target));
    check->findings.push_back({false,
                               line,
                               "target \"" + Shown(first.target) +
                                   "\" fits the shortest workspace but not a long one: an "
                                   "installer whose workspace path has " +
                                   std::to_string(kLongWorkspacePath) + " characters (" +
                                   kLongWorkspaceExample + ", not elevated) refuses it (" +
                                   longProblem + ")",
                               {}});
  }
  if (!out.missingOn.empty()) {
    check->findings.push_back({true, line,
                               "entry \"" + Shown(first.entry) +
                                   "\" is not in the bundle; the installer fails on " +
                                   PlatformList(out.missingOn),
                               out.missingOn});
  }
}

// The whole-script findings: entries no selected directive uses, entries past the catalogue.
void ReportEntryUse(const std::vector<std::string>& entryNames, const EntryIndex& entryIndex,
                    const std::set<std::string>& used, ScriptCheck* check) {
  std::vector<std::string> unused, late;
  for (size_t i = 0; i < entryNames.size(); ++i) {
    const std::string& name = entryNames[i];
    if (name != "install_script" && !used.count(name) && entryIndex.at(name) == i) {
      unused.push_back(name);
    }
    if (i >= bundle::kMaxCatalogueEntries) late.push_back(name);
  }
  if (!unused.empty()) {
    check->findings.push_back({false,
                               0,
                               std::to_string(unused.size()) + " entr" +
                                   (unused.size() == 1 ? "y" : "ies") +
                                   " no selected directive uses: " + NameList(unused),
                               {}});
  }
  if (!late.empty()) {
    check->findings.push_back(
        {false,
         0,
         std::to_string(late.size()) + " entr" + (late.size() == 1 ? "y lies" : "ies lie") +
             " past the 256th, which the installer can extract but not open: " + NameList(late),
         {}});
  }
}

}  // namespace

ScriptCheck CheckScript(const std::vector<std::string>& rawLines,
                        const std::vector<std::string>& entryNames,
                        const std::vector<std::string>& modes) {
  ScriptCheck check;
  check.modes = modes;
  check.extractions.resize(modes.size());
  check.lineCount = rawLines.size();
  EntryIndex entryIndex;
  for (size_t i = 0; i < entryNames.size(); ++i) entryIndex.emplace(entryNames[i], i);
  std::set<std::string> used;

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
                                "longer than " + std::to_string(installer::kScriptPieceLimit) +
                                    " bytes: the installer reads it as several lines",
                                {}});
    }
    const std::string trimmed = installer::TrimScriptLine(raw);
    auto first = installer::DecideScriptLine(trimmed, installer::kPlatformClasses[0].representative,
                                             modes.empty() ? "" : modes[0], kShortestWorkspacePath);
    if (first.kind == installer::ScriptLineAction::kComment) continue;
    ++check.directiveCount;
    NoteTrim(raw, trimmed, line, &check);
    if (first.fieldCount < 3) {
      check.findings.push_back(
          {true,
           line,
           "\"" + Shown(trimmed) + "\" has " + std::to_string(first.fieldCount) +
               " field(s); a directive needs condition,entry,target (the installer skips it)",
           {}});
      continue;
    }
    ReportDirective(DecideEverywhere(trimmed, line, entryIndex, &used, &check), first, trimmed,
                    line, &check);
  }
  ReportEntryUse(entryNames, entryIndex, used, &check);
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

support::Result<std::vector<std::string>> ReadScriptFileAsInstaller(const std::string& path) {
  auto bytes = fileops::ReadWholeFile(path);
  if (!bytes) return bytes.takeError();
  return installer::ScriptLinesOf(*bytes);
}

support::Result<std::vector<std::string>> ReadScriptAsInstaller(const std::string& bytes,
                                                                const std::string& /*what*/) {
  return installer::ScriptLinesOf(bytes);
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
