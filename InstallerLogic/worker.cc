#include "worker.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include "bundle/bundle_format.h"
#include "bundle/bundle_reader.h"
#include "container/attachment.h"
#include "install_script.h"
#include "install_steps.h"
#include "platform/platform.h"
#include "support/launch_state.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/workspace.h"
#include "verify/bundle_binding.h"
#include "verify/setup_signature.h"

namespace installer {
namespace {

// The install script, decided: what each line does, the extractions in line order with the line
// each comes from, and how many lines run (up to and including a refused target).
struct ScriptPlan {
  std::vector<ScriptLineAction> actions;
  std::vector<bundle::BundleReader::Extraction> extractions;
  std::vector<unsigned> lineOf;
  unsigned linesToRun = 0;
};

// The installation sequence, the steps of install_steps.h one after the other; Run returns the
// setup program's exit code, or the RunFailure of the step that failed. The members close in the
// order the run must end in: the bundle reader (closing "ibnd"), then the holds on "ibnd" and
// "setup.exe". The workspace outlives them all.
class Installation {
 public:
  explicit Installation(const support::Workspace& workspace)
      : launch_(support::Launch()),
        workspace_(workspace),
        setupPath_(workspace.path() + kSetupFileName),
        bundlePath_(workspace.path() + kBundleFileName) {}

  uint32_t Run();

 private:
  // Each step either ends the run with its failure or lets the next one go on.
  using Outcome = std::optional<RunFailure>;

  // The steps of install_steps.h, in their order, as direct calls that the compiler can fold
  // into one function (the front end's size is counted): RunStep<step> is each step's own. The
  // last, which runs the setup program, answers with its exit code.
  template <InstallStep kStep>
  Outcome RunStep();
  template <size_t... kSteps>
  uint32_t RunSteps(std::index_sequence<kSteps...>) {
    static_assert(sizeof...(kSteps) + 1 == kInstallStepCount);
    Outcome failed;
    (static_cast<bool>(failed = RunStep<static_cast<InstallStep>(kSteps)>()) || ...);
    return failed ? *failed : RunSetupProgram();
  }

  Outcome UnpackSetupProgram();
  Outcome UnpackBundle();
  Outcome OpenBundle();
  Outcome ApplyInstallScript();
  Outcome ReadInstallScript(std::vector<std::string>* lines);
  ScriptPlan PlanInstallScript(const std::vector<std::string>& lines, const Platform& platform);
  Outcome ExtractScriptEntries(const std::vector<std::string>& lines, const Platform& platform,
                               ScriptPlan* plan);
  Outcome VerifySetupProgram();
  uint32_t RunSetupProgram();

  const support::LaunchState& launch_;
  const support::Workspace& workspace_;
  const std::u16string setupPath_;
  const std::u16string bundlePath_;
  platform::File setupHold_;
  platform::File bundleHold_;
  bundle::BundleReader reader_;
};

template <>
Installation::Outcome Installation::RunStep<InstallStep::kUnpackSetupProgram>() {
  return UnpackSetupProgram();
}
template <>
Installation::Outcome Installation::RunStep<InstallStep::kUnpackBundle>() {
  return UnpackBundle();
}
template <>
Installation::Outcome Installation::RunStep<InstallStep::kOpenBundle>() {
  return OpenBundle();
}
template <>
Installation::Outcome Installation::RunStep<InstallStep::kApplyInstallScript>() {
  return ApplyInstallScript();
}
template <>
Installation::Outcome Installation::RunStep<InstallStep::kVerifySetupProgram>() {
  return VerifySetupProgram();
}

static_assert(static_cast<size_t>(InstallStep::kRunSetupProgram) + 1 == kInstallStepCount);
uint32_t Installation::Run() { return RunSteps(std::make_index_sequence<kInstallStepCount - 1>()); }

Installation::Outcome Installation::UnpackSetupProgram() {
  if (!workspace_.StillNamed("writing setup.exe")) return kNoWorkspace;
  {
    // From the installer file opened at the start, which may no longer be what its path names.
    platform::File installer = launch_.ownImage.Reopen();
    if (!container::ExtractAttachmentToFile(true, installer, "LOAD", setupPath_, 50, 0)) {
      return kSetupNotExtracted;
    }
  }
  // From here until the process has started nobody may write, replace or delete the setup
  // program: the bundle is taken from its end, its signature is checked, and then it is run.
  setupHold_ = platform::File::Open(setupPath_, platform::OpenMode::kReadDenyWrite);
  if (!setupHold_.IsOpen()) {
    support::Trace("Could not hold %s against changes\n", support::WideToUtf8(setupPath_).c_str());
    return kSetupNotExtracted;
  }
  return std::nullopt;
}

Installation::Outcome Installation::UnpackBundle() {
  // The bundle comes from the held setup program, not from whatever its path names now.
  platform::File setupCopy = setupHold_.Reopen();
  if (!container::ExtractAttachmentToFile(false, setupCopy, "IBND", bundlePath_, 25, 50)) {
    return kBundleNotExtracted;
  }
  return std::nullopt;
}

Installation::Outcome Installation::OpenBundle() {
  reader_.SetGoal("IBND");
  reader_.SetMaxChunkSize(bundle::kWorkerMaxChunkSize);
  // The reader validates the bundle once, in Open, and reads entries from the file afterwards:
  // the file must stay as validated until Close.
  bundleHold_ = platform::File::Open(bundlePath_, platform::OpenMode::kReadDenyWrite);
  if (!bundleHold_.IsOpen()) {
    support::Trace("Could not hold %s against changes\n", support::WideToUtf8(bundlePath_).c_str());
    return kBundleNotExtracted;
  }
  if (!reader_.Open(bundlePath_)) return kBundleInvalid;
  // A setup program signed for one bundle takes no other (verify/bundle_binding.h).
  if (!verify::BindingAccepts(verify::ReadBundleBinding(setupHold_), reader_.SignedDigest())) {
    reader_.Close();
    return kBundleNotBound;
  }
  support::ReportProgress(85, 0);
  return std::nullopt;
}

// The directives are decided first, without a word said; the entries are then extracted in one
// batch, and each line's progress and trace are given as the extraction reaches it, so that they
// come in the order and with the outcome of one extraction after the other.
Installation::Outcome Installation::ApplyInstallScript() {
  std::vector<std::string> lines;
  if (auto failed = ReadInstallScript(&lines)) return *failed;
  const Platform platform = ThisPlatform();
  ScriptPlan plan = PlanInstallScript(lines, platform);
  return ExtractScriptEntries(lines, platform, &plan);
}

// The script's lines, trimmed.
Installation::Outcome Installation::ReadInstallScript(std::vector<std::string>* lines) {
  bundle::EntryHandle* script = reader_.OpenEntry("install_script");
  if (script == nullptr) {
    support::Trace("The bundle has no install_script\n");
    reader_.Close();
    return kBundleInvalid;
  }
  *lines = ReadScriptLines(reader_, script);
  for (std::string& line : *lines) line = TrimScriptLine(line);
  reader_.CloseEntry(script);
  return std::nullopt;
}

ScriptPlan Installation::PlanInstallScript(const std::vector<std::string>& lines,
                                           const Platform& platform) {
  const unsigned n = static_cast<unsigned>(lines.size());
  ScriptPlan plan;
  plan.actions.resize(n);
  plan.linesToRun = n;
  for (unsigned i = 0; i < n; ++i) {
    ScriptLineAction& action = plan.actions[i];
    action = DecideScriptLine(lines[i], platform, launch_.runMode, workspace_.path().size());
    if (action.kind == ScriptLineAction::kRefusedTarget) {
      plan.linesToRun = i + 1;
      break;
    }
    if (action.kind != ScriptLineAction::kExtract) continue;
    plan.extractions.push_back(
        {workspace_.path() + support::Utf8ToWide(action.target), std::move(action.entry)});
    // No second copy of the names stays in the plan (a script may name tens of thousands of
    // files); a failure's trace decides its line again.
    std::string().swap(action.target);
    plan.lineOf.push_back(i);
  }
  return plan;
}

Installation::Outcome Installation::ExtractScriptEntries(const std::vector<std::string>& lines,
                                                         const Platform& platform,
                                                         ScriptPlan* plan) {
  const unsigned n = static_cast<unsigned>(lines.size());
  // Says what each line says, up to where the next extraction starts.
  unsigned said = 0;
  auto sayUpTo = [&](unsigned end) {
    for (; said < end; ++said) {
      const unsigned i = said;
      support::ReportProgress(85, static_cast<int>((15u * i) / n));
      const ScriptLineAction& action = plan->actions[i];
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
  auto sayBefore = [&](size_t k) {
    sayUpTo(k < plan->lineOf.size() ? plan->lineOf[k] + 1 : plan->linesToRun);
  };
  sayBefore(0);
  const size_t extracted =
      reader_.ExtractEntries(plan->extractions, [&](size_t count) { sayBefore(count); });
  if (extracted < plan->extractions.size()) {
    sayBefore(extracted);
    const unsigned line = plan->lineOf[extracted];
    const ScriptLineAction failed =
        DecideScriptLine(lines[line], platform, launch_.runMode, workspace_.path().size());
    support::Trace("%d: extracting %s to %s failed\n", static_cast<int>(line), failed.entry.c_str(),
                   failed.target.c_str());
    reader_.Close();
    return kEntryNotExtracted;
  }
  sayUpTo(plan->linesToRun);
  if (plan->linesToRun > 0 &&
      plan->actions[plan->linesToRun - 1].kind == ScriptLineAction::kRefusedTarget) {
    reader_.Close();
    return kTargetRefused;
  }
  return std::nullopt;
}

Installation::Outcome Installation::VerifySetupProgram() {
  if (!workspace_.StillNamed("verifying setup.exe")) return kNoWorkspace;
  // Verified through the handle that holds it against writes: what is checked is what runs.
  if (!verify::VerifySetupSignature(setupHold_, setupPath_)) {
    if (launch_.runMode == "gui") {
      // Owned by the progress window, which is topmost: the box must not open behind it.
      platform::ShowErrorBox(u"Installer file is corrupted.", u"Error", launch_.dialog);
    }
    support::Trace("\n##installer file is not valid!");
    return kSetupSignatureInvalid;
  }
  return std::nullopt;
}

uint32_t Installation::RunSetupProgram() {
  if (!workspace_.StillNamed("starting setup.exe")) return kNoWorkspace;
  const std::u16string commandLine =
      BuildSetupCommandLine(workspace_.path(), launch_.arguments, launch_.ownPath);
  support::Trace("setup.exe: %s\n", support::WideToUtf8(commandLine).c_str());
  platform::Process process = platform::Process::Start(commandLine, workspace_.path());
  setupHold_.Close();
  if (!process.IsStarted()) {
    support::Trace("setup.exe could not be started\n");
    return kSetupNotStarted;
  }
  if (launch_.dialog != nullptr) platform::HideWindow(launch_.dialog);
  // What the setup program says of its own run is the installer's answer (0, 3010 for a restart,
  // its own failure codes), as with other installers.
  return process.Wait();
}

// Makes the workspace and runs the installation in it. The workspace is removed when this returns
// or unwinds, once the installation has closed everything it opened there.
uint32_t RunInstallation(support::Workspace* workspace) {
  support::Workspace::RemoveAtExit removal(workspace);
  // Without a workspace every path below would be relative to the current directory.
  if (!workspace->Create()) return kNoWorkspace;
  Installation installation(*workspace);
  return installation.Run();
}

}  // namespace

std::u16string BuildSetupCommandLine(const std::u16string& workspace,
                                     const std::vector<std::u16string>& arguments,
                                     const std::u16string& ownPath) {
  std::u16string line = u"\"" + workspace + u"setup.exe\"";
  for (const std::u16string& argument : arguments) {
    line += u' ';
    line += support::QuoteCommandArgument(argument);
  }
  line += u" \"" + ownPath + u"\"";
  return line;
}

unsigned InstallationWorker(void* /*unused*/) {
  // Its end retries the removal for a bounded time and lets go of the workspace.
  support::Workspace workspace;
  // Running out of memory is the one exception that can reach here; unwinding still closes the
  // bundle and deletes the workspace before the failure is returned.
  unsigned result = kStoppedByError;
  try {
    result = RunInstallation(&workspace);
  } catch (const std::exception& e) {
    support::Trace("Installation stopped: %s\n", e.what());
  }
  return result;
}

}  // namespace installer
