#include "worker.h"

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
  std::vector<std::string> lines;
  char buffer[kScriptLineBufferSize];
  while (reader.ReadLine(buffer, kScriptLineBufferSize, script) != nullptr) {
    lines.push_back(TrimScriptLine(std::string_view(buffer, strnlen(buffer, sizeof buffer))));
  }
  reader.CloseEntry(script);

  const bool wow64 = platform::IsWow64();
  const uint32_t majorVersion = platform::MajorVersion();

  // The directives are decided first, without a word said; the entries are then extracted in
  // one batch, and each line's progress and trace are given as the extraction reaches it, so
  // that they come in the order and with the outcome of one extraction after the other.
  struct Line {
    bool comment = false;
    int fields = 0;             // of a directive that applies
    bool applies = false;
    const char* refused = nullptr;
    size_t extraction = SIZE_MAX;  // its place in `extractions`
  };
  const unsigned n = static_cast<unsigned>(lines.size());
  std::vector<Line> plan(n);
  std::vector<bundle::BundleReader::Extraction> extractions;
  std::vector<unsigned> lineOf;  // the line of each extraction
  unsigned planned = n;          // lines that run: up to and including a refused target
  for (unsigned i = 0; i < n; ++i) {
    Line& step = plan[i];
    const std::string& line = lines[i];
    if (line.empty() || support::StartsWith(line, "#")) {
      step.comment = true;
      continue;
    }
    std::vector<std::string> fields = support::SplitString(line, ',');
    step.applies = DirectiveApplies(fields[0], wow64, majorVersion, launch.runMode);
    step.fields = static_cast<int>(fields.size());
    if (!step.applies || fields.size() < 3) continue;
    const std::u16string relative = support::Utf8ToWide(fields[2]);
    step.refused = TargetPathProblem(relative);
    if (step.refused != nullptr) {
      planned = i + 1;
      break;
    }
    step.extraction = extractions.size();
    extractions.push_back({workspace + relative, fields[1]});
    lineOf.push_back(i);
  }

  // Says what line i says, up to where its extraction would start.
  unsigned said = 0;
  auto sayUpTo = [&](unsigned end) {
    for (; said < end; ++said) {
      const unsigned i = said;
      support::ReportProgress(85, static_cast<int>((15u * i) / n));
      const Line& step = plan[i];
      if (step.comment) continue;
      support::Trace("%d: %s", static_cast<int>(i), lines[i].c_str());
      if (step.applies && step.fields < 3) {
        support::Trace("%d: directive has %d fields, needs 3: skipped\n", static_cast<int>(i),
                       step.fields);
      }
      if (step.refused != nullptr) {
        support::Trace("%d: target %s refused: %s\n", static_cast<int>(i),
                       support::SplitString(lines[i], ',')[2].c_str(), step.refused);
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
    reader.Close();
    return 1;
  }
  sayUpTo(planned);
  if (planned > 0 && plan[planned - 1].refused != nullptr) {
    reader.Close();
    return 1;
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
