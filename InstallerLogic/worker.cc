#include "worker.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>

#include "bundle/bundle_reader.h"
#include "container/attachment.h"
#include "platform/platform.h"
#include "support/launch_state.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/workspace.h"
#include "verify/bundle_binding.h"
#include "verify/setup_signature.h"

namespace installer {
namespace {

bool IsBlankByte(char c) { return static_cast<signed char>(c) <= 32; }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A component that Windows' path normalisation turns into "." or ".." (it drops trailing dots
// and spaces), other than "." itself, which names the directory it stands in.
bool IsDotComponent(std::u16string_view component) {
  if (component.empty() || component == u".") return false;
  for (char16_t c : component) {
    if (c != u'.' && c != u' ') return false;
  }
  return true;
}

// ASCII letters compared without case, with the two non-ASCII letters that Windows' case
// folding turns into ASCII ones (dotless i into "I", long s into "S").
char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  if (c == u'\u0131') return u'I';
  if (c == u'\u017F') return u'S';
  return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// The name as Windows resolves it: trailing dots and spaces dropped.
std::u16string_view WithoutTrailingDotsAndSpaces(std::u16string_view name) {
  while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.remove_suffix(1);
  return name;
}

// A component that CreateFileW opens as a device on Windows 10 and earlier: a reserved device
// name, alone or followed by an extension ("LPT1.txt") or by spaces, in any letter case.
bool IsDeviceName(std::u16string_view component) {
  std::u16string_view base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  for (std::u16string_view name : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (SameName(base, name)) return true;
  }
  if (base.size() != 4) return false;
  const char16_t digit = base[3];
  // COM1..COM9 and LPT1..LPT9, and the superscript digits that Windows takes as well.
  const bool isDigit = (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' ||
                       digit == u'\u00B2' || digit == u'\u00B3';
  return isDigit && (SameName(base.substr(0, 3), u"COM") || SameName(base.substr(0, 3), u"LPT"));
}

// The workspace path must still lead to the directory made and held before the step that
// trusts it: writing the setup program, verifying it, starting it.
bool WorkspaceStillNamed(const platform::DirectoryHold& hold, const std::u16string& workspace,
                         const char* step) {
  if (hold.IsNamedBy(workspace)) return true;
  support::Trace("Workspace %s no longer names the directory made; stopped before %s\n",
                 support::WideToUtf8(workspace).c_str(), step);
  return false;
}

// The installation sequence; returns the setup program's exit code, or the RunFailure of the
// step that failed. Locals are declared so that they are destroyed in the order the run must end
// in: the bundle reader (closing "ibnd"), the handles held on "ibnd" and "setup.exe", and last
// the clean-up list, which deletes the workspace once nothing in it is open any more. The hold on
// the workspace belongs to the caller, which may retry the clean-up.
uint32_t RunInstallation(std::u16string* workspaceMade, platform::DirectoryHold* hold) {
  const support::LaunchState& launch = support::Launch();

  support::CleanupList cleanup;
  const std::u16string workspace = support::CreateWorkspace(hold);
  *workspaceMade = workspace;
  // Without a workspace every path below would be relative to the current directory.
  if (workspace.empty()) return kNoWorkspace;
  cleanup.AddDirectory(workspace, hold);
  const std::u16string setupPath = workspace + kSetupFileName;
  const std::u16string bundlePath = workspace + kBundleFileName;

  platform::File setupHold;
  platform::File bundleHold;
  bundle::BundleReader reader;

  if (!WorkspaceStillNamed(*hold, workspace, "writing setup.exe")) return kNoWorkspace;
  {
    // From the installer file opened at the start, which may no longer be what its path names.
    platform::File installer = launch.ownImage.Reopen();
    if (!container::ExtractAttachmentToFile(true, installer, "LOAD", setupPath, 50, 0)) {
      return kSetupNotExtracted;
    }
  }
  // From here until the process has started nobody may write, replace or delete the setup
  // program: the bundle is taken from its end, its signature is checked, and then it is run.
  setupHold = platform::File::Open(setupPath, platform::OpenMode::kReadDenyWrite);
  if (!setupHold.IsOpen()) {
    support::Trace("Could not hold %s against changes\n", support::WideToUtf8(setupPath).c_str());
    return kSetupNotExtracted;
  }
  {
    // The bundle comes from the held setup program, not from whatever its path names now.
    platform::File setupCopy = setupHold.Reopen();
    if (!container::ExtractAttachmentToFile(false, setupCopy, "IBND", bundlePath, 25, 50)) {
      return kBundleNotExtracted;
    }
  }

  reader.SetGoal("IBND");
  reader.SetMaxChunkSize(kBundleMaxChunkSize);
  // The reader validates the bundle once, in Open, and reads entries from the file afterwards:
  // the file must stay as validated until Close.
  bundleHold = platform::File::Open(bundlePath, platform::OpenMode::kReadDenyWrite);
  if (!bundleHold.IsOpen()) {
    support::Trace("Could not hold %s against changes\n", support::WideToUtf8(bundlePath).c_str());
    return kBundleNotExtracted;
  }
  if (!reader.Open(bundlePath)) return kBundleInvalid;
  // A setup program signed for one bundle takes no other (verify/bundle_binding.h).
  if (!verify::BindingAccepts(verify::ReadBundleBinding(setupHold), reader.SignedDigest())) {
    reader.Close();
    return kBundleNotBound;
  }
  support::ReportProgress(85, 0);

  bundle::EntryHandle* script = reader.OpenEntry("install_script");
  if (script == nullptr) {
    support::Trace("The bundle has no install_script\n");
    reader.Close();
    return kBundleInvalid;
  }
  std::vector<std::string> lines = ReadScriptLines(reader, script);
  for (std::string& line : lines) line = TrimScriptLine(line);
  reader.CloseEntry(script);

  const bool wow64 = platform::IsWow64();
  const uint32_t majorVersion = platform::MajorVersion();

  // The directives are decided first, without a word said; the entries are then extracted in
  // one batch, and each line's progress and trace are given as the extraction reaches it, so
  // that they come in the order and with the outcome of one extraction after the other.
  const unsigned n = static_cast<unsigned>(lines.size());
  std::vector<ScriptLineAction> plan(n);
  std::vector<bundle::BundleReader::Extraction> extractions;
  std::vector<unsigned> lineOf;  // the line of each extraction
  unsigned planned = n;          // lines that run: up to and including a refused target
  for (unsigned i = 0; i < n; ++i) {
    ScriptLineAction& action = plan[i];
    action = DecideScriptLine(lines[i], wow64, majorVersion, launch.runMode, workspace.size());
    if (action.kind == ScriptLineAction::kRefusedTarget) {
      planned = i + 1;
      break;
    }
    if (action.kind != ScriptLineAction::kExtract) continue;
    extractions.push_back({workspace + support::Utf8ToWide(action.target), std::move(action.entry)});
    // No second copy of the names stays in the plan (a script may name tens of thousands of
    // files); a failure's trace decides its line again.
    std::string().swap(action.target);
    lineOf.push_back(i);
  }

  // Says what each line says, up to where the next extraction starts.
  unsigned said = 0;
  auto sayUpTo = [&](unsigned end) {
    for (; said < end; ++said) {
      const unsigned i = said;
      support::ReportProgress(85, static_cast<int>((15u * i) / n));
      const ScriptLineAction& action = plan[i];
      if (action.kind == ScriptLineAction::kComment) continue;
      support::Trace("%d: %s", static_cast<int>(i), lines[i].c_str());
      if (action.kind == ScriptLineAction::kTooFewFields) {
        support::Trace("%d: directive has %d fields, needs 3: skipped\n", static_cast<int>(i),
                       static_cast<int>(action.fieldCount));
      }
      if (action.kind == ScriptLineAction::kRefusedTarget) {
        support::Trace("%d: target %s refused: %s\n", static_cast<int>(i), action.target.c_str(),
                       action.problem);
      }
    }
  };
  // Before extraction k starts, every line up to its own has been said.
  auto sayBefore = [&](size_t k) { sayUpTo(k < lineOf.size() ? lineOf[k] + 1 : planned); };
  sayBefore(0);
  const size_t extracted =
      reader.ExtractEntries(extractions, [&](size_t count) { sayBefore(count); });
  if (extracted < extractions.size()) {
    sayBefore(extracted);
    const ScriptLineAction failed =
        DecideScriptLine(lines[lineOf[extracted]], wow64, majorVersion, launch.runMode,
                         workspace.size());
    support::Trace("%d: extracting %s to %s failed\n", static_cast<int>(lineOf[extracted]),
                   failed.entry.c_str(), failed.target.c_str());
    reader.Close();
    return kEntryNotExtracted;
  }
  sayUpTo(planned);
  if (planned > 0 && plan[planned - 1].kind == ScriptLineAction::kRefusedTarget) {
    reader.Close();
    return kTargetRefused;
  }

  if (!WorkspaceStillNamed(*hold, workspace, "verifying setup.exe")) return kNoWorkspace;
  // Verified through the handle that holds it against writes: what is checked is what runs.
  if (!verify::VerifySetupSignature(setupHold)) {
    if (launch.runMode == "gui") {
      // Owned by the progress window, which is topmost: the box must not open behind it.
      platform::ShowErrorBox(u"Installer file is corrupted.", u"Error", launch.dialog);
    }
    support::Trace("\n##installer file is not valid!");
    return kSetupSignatureInvalid;
  }
  if (!WorkspaceStillNamed(*hold, workspace, "starting setup.exe")) return kNoWorkspace;

  const std::u16string commandLine = BuildSetupCommandLine(workspace, launch.arguments,
                                                           launch.ownPath);
  support::Trace("setup.exe: %s\n", support::WideToUtf8(commandLine).c_str());
  platform::Process process = platform::Process::Start(commandLine, workspace);
  setupHold.Close();
  if (!process.IsStarted()) {
    support::Trace("setup.exe could not be started\n");
    return kSetupNotStarted;
  }
  if (launch.dialog != nullptr) platform::HideWindow(launch.dialog);
  // What the setup program says of its own run is the installer's answer (0, 3010 for a restart,
  // its own failure codes), as with other installers.
  return process.Wait();
}

}  // namespace

std::string TrimScriptLine(std::string_view line) {
  size_t end = line.size();
  while (end > 0 && IsBlankByte(line[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && IsBlankByte(line[begin])) ++begin;
  return std::string(line.substr(begin, end - begin));
}

std::vector<std::string> ReadScriptLines(bundle::BundleReader& reader, bundle::EntryHandle* script) {
  std::vector<std::string> lines;
  char buffer[kScriptLineBufferSize];
  while (reader.ReadLine(buffer, kScriptLineBufferSize, script) != nullptr) {
    lines.emplace_back(buffer, strnlen(buffer, sizeof buffer));
  }
  return lines;
}

ScriptLineAction DecideScriptLine(const std::string& trimmedLine, bool wow64,
                                  uint32_t majorVersion, const std::string& runMode,
                                  size_t workspaceLength) {
  ScriptLineAction action;
  if (trimmedLine.empty() || support::StartsWith(trimmedLine, "#")) return action;
  std::vector<std::string> fields = support::SplitString(trimmedLine, ',');
  action.fieldCount = fields.size();
  if (fields.size() >= 2) action.entry = fields[1];
  if (fields.size() >= 3) action.target = fields[2];
  if (!DirectiveApplies(fields[0], wow64, majorVersion, runMode)) {
    action.kind = ScriptLineAction::kSkipped;
  } else if (fields.size() < 3) {
    // Nothing says what such a line would mean; reading fields it lacks is worse than skipping.
    action.kind = ScriptLineAction::kTooFewFields;
  } else if ((action.problem = TargetPathProblem(support::Utf8ToWide(fields[2]))) != nullptr ||
             (action.problem = TargetLengthProblem(workspaceLength,
                                                   support::Utf8ToWide(fields[2]))) != nullptr) {
    action.kind = ScriptLineAction::kRefusedTarget;
  } else {
    action.kind = ScriptLineAction::kExtract;
  }
  return action;
}

bool DirectiveApplies(const std::string& condition, bool wow64, uint32_t majorVersion,
                      const std::string& runMode) {
  if (Contains(condition, "-x86") && wow64) return false;
  if (Contains(condition, "-x64") && !wow64) return false;
  if (Contains(condition, "-w6+") && majorVersion < 6) return false;
  if (Contains(condition, "-w<6") && majorVersion >= 6) return false;
  if (!support::StartsWith(condition, "dep")) return false;
  return Contains(condition, "-" + runMode);
}

const char* TargetPathProblem(const std::u16string& relativeTarget) {
  if (relativeTarget.empty()) return "empty path";
  // Covers "C:x" drive-relative paths as well as "name:stream".
  if (relativeTarget.find(u':') != std::u16string::npos) {
    return "drive prefix or alternate data stream";
  }
  if (relativeTarget[0] == u'\\' || relativeTarget[0] == u'/') return "absolute or UNC path";
  // Windows takes both separators, whatever the install script intends.
  size_t start = 0;
  std::vector<std::u16string_view> named;  // the components that are not "." or empty
  for (;;) {
    size_t end = relativeTarget.find_first_of(u"\\/", start);
    std::u16string_view component(relativeTarget);
    component = component.substr(start, end == std::u16string::npos ? end : end - start);
    if (IsDotComponent(component)) return "\"..\" component";
    if (IsDeviceName(component)) return "device name";
    if (!component.empty() && component != u".") named.push_back(component);
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  // The setup program and the bundle are held open while entries are extracted; an entry
  // written over either would fail on a sharing violation, or replace what is verified and run.
  if (named.size() == 1) {
    std::u16string_view name = WithoutTrailingDotsAndSpaces(named.front());
    if (SameName(name, kSetupFileName) || SameName(name, kBundleFileName)) {
      return "names the setup program or the bundle";
    }
  }
  return nullptr;
}

const char* TargetLengthProblem(size_t workspaceLength, const std::u16string& relativeTarget) {
  // Plain Win32 paths end at MAX_PATH: 259 characters for a file, 247 for a directory
  // (CreateDirectoryW keeps room for an 8.3 name). A longer target is refused with its reason
  // rather than failing somewhere in the middle of creating it. The directory is what stands
  // before the last backslash of the whole path, the workspace's own trailing one included.
  if (workspaceLength + relativeTarget.size() > kMaxTargetPath) {
    return "path longer than 259 characters";
  }
  const size_t slash = relativeTarget.rfind(u'\\');
  const size_t directory = slash != std::u16string::npos ? workspaceLength + slash
                           : workspaceLength > 0        ? workspaceLength - 1
                                                        : 0;
  return directory > kMaxDirectoryPath ? "directory longer than 247 characters" : nullptr;
}

std::u16string QuoteCommandArgument(const std::u16string& argument) {
  if (!argument.empty() && argument.find_first_of(u" \t\"") == std::u16string::npos) {
    return argument;
  }
  // Backslashes are literal unless they precede a quote: then each is doubled, and the quote
  // itself is escaped. The closing quote counts, so trailing backslashes are doubled.
  std::u16string quoted = u"\"";
  size_t slashes = 0;
  for (char16_t c : argument) {
    if (c == u'\\') {
      ++slashes;
      continue;
    }
    quoted.append(c == u'"' ? slashes * 2 + 1 : slashes, u'\\');
    slashes = 0;
    quoted += c;
  }
  quoted.append(slashes * 2, u'\\');
  quoted += u'"';
  return quoted;
}

std::u16string BuildSetupCommandLine(const std::u16string& workspace,
                                     const std::vector<std::u16string>& arguments,
                                     const std::u16string& ownPath) {
  std::u16string line = u"\"" + workspace + u"setup.exe\"";
  for (const std::u16string& argument : arguments) {
    line += u' ';
    line += QuoteCommandArgument(argument);
  }
  line += u" \"" + ownPath + u"\"";
  return line;
}

unsigned InstallationWorker(void* /*unused*/) {
  // Running out of memory is the one exception that can reach here; unwinding still closes the
  // bundle and deletes the workspace before the failure is returned.
  std::u16string workspace;
  platform::DirectoryHold hold;
  unsigned result = kStoppedByError;
  try {
    result = RunInstallation(&workspace, &hold);
  } catch (const std::exception& e) {
    support::Trace("Installation stopped: %s\n", e.what());
  }
  // The setup program ran with the workspace as its current directory; the system may release
  // that directory a moment after the process has been reported ended (Wine does so), and a
  // process it started, or a virus scanner, may still hold one of its files open. Then the
  // clean-up could not remove it. Try again, for a bounded time, and only while the path still
  // leads to the workspace: never once it is gone, never into a link put in its place, never
  // while the clean-up found the path pointing elsewhere (the hold stays then).
  if (!workspace.empty()) {
    const std::u16string dir = workspace.substr(0, workspace.size() - 1);
    uint32_t waited = 0;
    uint32_t delay = kCleanupRetryFirstDelayMs;
    for (;;) {
      const uint32_t attributes = platform::GetFileAttributes(dir);
      if (attributes == platform::kInvalidAttributes) break;
      if (attributes & platform::kAttrReparsePoint) {
        support::Trace("A link stands in the workspace's place: %s left alone\n",
                       support::WideToUtf8(dir).c_str());
        break;
      }
      if (hold.IsOpen() && !hold.IsNamedBy(dir)) break;
      if (waited >= kCleanupRetryBudgetMs) {
        support::Trace("Workspace still in use, left behind: %s\n", support::WideToUtf8(dir).c_str());
        break;
      }
      platform::SleepMilliseconds(delay);
      waited += delay;
      delay = std::min(delay * 2, kCleanupRetryLongestDelayMs);
      support::DeleteDirectoryTree(dir, &hold);
    }
  }
  hold.Close();
  return result;
}

}  // namespace installer
