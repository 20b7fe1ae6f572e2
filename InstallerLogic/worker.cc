#include "worker.h"

#include <cstring>
#include <exception>

#include "bundle/bundle_reader.h"
#include "container/attachment.h"
#include "platform/platform.h"
#include "support/launch_state.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/workspace.h"
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

// The installation sequence. Locals are declared so that they are destroyed in the order the
// run must end in: the bundle reader (closing "ibnd"), the handles held on "ibnd" and
// "setup.exe", and last the clean-up list, which deletes the workspace once nothing in it is
// open any more.
unsigned RunInstallation(std::u16string* workspaceMade) {
  const support::LaunchState& launch = support::Launch();

  support::CleanupList cleanup;
  const std::u16string workspace = support::CreateWorkspace();
  *workspaceMade = workspace;
  // Without a workspace every path below would be relative to the current directory.
  if (workspace.empty()) return 1;
  cleanup.AddDirectory(workspace);
  const std::u16string setupPath = workspace + u"setup.exe";
  const std::u16string bundlePath = workspace + u"ibnd";

  platform::File setupHold;
  platform::File bundleHold;
  bundle::BundleReader reader;

  if (!container::ExtractAttachmentToFile(true, launch.ownPath, "LOAD", setupPath, 50, 0)) {
    return 1;
  }
  // From here until the process has started nobody may write, replace or delete the setup
  // program: the bundle is taken from its end, its signature is checked, and then it is run.
  setupHold = platform::File::Open(setupPath, platform::OpenMode::kReadDenyWrite);
  if (!setupHold.IsOpen()) {
    support::Trace("Could not hold %s against changes\n", support::WideToUtf8(setupPath).c_str());
    return 1;
  }
  if (!container::ExtractAttachmentToFile(false, setupPath, "IBND", bundlePath, 25, 50)) {
    return 1;
  }

  reader.SetGoal("IBND");
  reader.SetMaxChunkSize(kBundleMaxChunkSize);
  // The reader validates the bundle once, in Open, and reads entries from the file afterwards:
  // the file must stay as validated until Close.
  bundleHold = platform::File::Open(bundlePath, platform::OpenMode::kReadDenyWrite);
  if (!bundleHold.IsOpen()) {
    support::Trace("Could not hold %s against changes\n", support::WideToUtf8(bundlePath).c_str());
    return 1;
  }
  if (!reader.Open(bundlePath)) return 1;
  support::ReportProgress(85, 0);

  bundle::EntryHandle* script = reader.OpenEntry("install_script");
  if (script == nullptr) {
    support::Trace("The bundle has no install_script\n");
    reader.Close();
    return 1;
  }
  std::vector<std::string> lines = ReadScriptLines(reader, script);
  for (std::string& line : lines) line = TrimScriptLine(line);
  reader.CloseEntry(script);

  const bool wow64 = platform::IsWow64();
  const uint32_t majorVersion = platform::MajorVersion();

  const unsigned n = static_cast<unsigned>(lines.size());
  for (unsigned i = 0; i < n; ++i) {
    support::ReportProgress(85, static_cast<int>((15u * i) / n));
    const std::string& line = lines[i];
    const ScriptLineAction action = DecideScriptLine(line, wow64, majorVersion, launch.runMode);
    if (action.kind == ScriptLineAction::kComment) continue;
    support::Trace("%d: %s", static_cast<int>(i), line.c_str());
    if (action.kind == ScriptLineAction::kSkipped) continue;
    if (action.kind == ScriptLineAction::kTooFewFields) {
      support::Trace("%d: directive has %d fields, needs 3: skipped\n", static_cast<int>(i),
                     static_cast<int>(action.fieldCount));
      continue;
    }
    if (action.kind == ScriptLineAction::kRefusedTarget) {
      support::Trace("%d: target %s refused: %s\n", static_cast<int>(i), action.target.c_str(),
                     action.problem);
      reader.Close();
      return 1;
    }
    const std::u16string target = workspace + support::Utf8ToWide(action.target);
    support::CreateParentDirectories(target);
    if (!reader.ExtractEntry(target, action.entry)) {
      reader.Close();
      return 1;
    }
  }

  if (!verify::VerifySetupSignature(setupPath, false)) {
    if (launch.runMode == "gui") platform::ShowErrorBox(u"Installer file is corrupted.", u"Error");
    support::Trace("\n##installer file is not valid!");
    return 1;
  }

  const std::u16string commandLine = BuildSetupCommandLine(workspace, launch.arguments,
                                                           launch.ownPath);
  support::Trace("setup.exe: %s\n", support::WideToUtf8(commandLine).c_str());
  platform::Process process = platform::Process::Start(commandLine, workspace);
  setupHold.Close();
  if (!process.IsStarted()) return 1;
  if (launch.dialog != nullptr) platform::HideWindow(launch.dialog);
  process.Wait();
  return 0;
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
                                  uint32_t majorVersion, const std::string& runMode) {
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
  } else if ((action.problem = TargetPathProblem(support::Utf8ToWide(fields[2]))) != nullptr) {
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
  for (;;) {
    size_t end = relativeTarget.find_first_of(u"\\/", start);
    std::u16string_view component(relativeTarget);
    component = component.substr(start, end == std::u16string::npos ? end : end - start);
    if (IsDotComponent(component)) return "\"..\" component";
    if (end == std::u16string::npos) return nullptr;
    start = end + 1;
  }
}

std::u16string BuildSetupCommandLine(const std::u16string& workspace,
                                     const std::vector<std::u16string>& arguments,
                                     const std::u16string& ownPath) {
  std::u16string line = u"\"" + workspace + u"setup.exe\"";
  for (const std::u16string& argument : arguments) {
    line += u' ';
    if (argument.find(u' ') != std::u16string::npos) {
      line += u'"' + argument + u'"';
    } else {
      line += argument;
    }
  }
  line += u" \"" + ownPath + u"\"";
  return line;
}

unsigned InstallationWorker(void* /*unused*/) {
  // Running out of memory is the one exception that can reach here; unwinding still closes the
  // bundle and deletes the workspace before the failure is returned.
  std::u16string workspace;
  unsigned result = 1;
  try {
    result = RunInstallation(&workspace);
  } catch (const std::exception& e) {
    support::Trace("Installation stopped: %s\n", e.what());
  }
  // The setup program ran with the workspace as its current directory; the system may release
  // that directory a moment after the process has been reported ended (Wine does so), and then
  // the clean-up could not remove it. Try again, a bounded number of times.
  if (!workspace.empty()) {
    std::u16string dir = workspace.substr(0, workspace.size() - 1);
    for (int attempt = 0; attempt < kCleanupRetries && support::PathExists(dir); ++attempt) {
      platform::SleepMilliseconds(kCleanupRetryDelayMs);
      support::DeleteDirectoryTree(dir);
    }
  }
  return result;
}

}  // namespace installer
