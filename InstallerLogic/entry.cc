#include "entry.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "container/attachment.h"
#include "install_script.h"
#include "platform/platform.h"
#include "support/launch_state.h"
#include "support/text.h"
#include "support/trace.h"
#include "verify/key_place.h"
#include "worker.h"

namespace installer {
namespace {

// The entry point's own texts go straight to the debugger channel: no thread prefix, and
// independent of the trace switch.
void DebugText(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugText(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  platform::DebugOutput(buffer);
}

// Returns the worker's result.
unsigned RunBehindProgressWindow() {
  support::LaunchState& launch = support::Launch();
  int iccResult = platform::InitProgressControls();
  uint32_t lastError = platform::LastError();
  DebugText("iccRes %d le %d\n", iccResult, static_cast<int>(lastError));

  launch.dialog = platform::CreateProgressDialog(&launch.hwndProgress);
  lastError = platform::LastError();
  DebugText("dlg is %p, le %d", launch.dialog, static_cast<int>(lastError));
  DebugText("hwndProgress is %p", launch.hwndProgress);
  if (launch.hwndProgress != nullptr) platform::SetProgressRange(launch.hwndProgress, 0, 100);
  if (launch.hwndProgress != nullptr) platform::SetProgressPosition(launch.hwndProgress, 0);

  unsigned result = kStoppedByError;
  {
    platform::Thread worker;
    if (worker.Start(&InstallationWorker)) {
      // Messages are dispatched as they come, a quit message like any other; between them the
      // loop looks every 10 ms whether the worker has ended.
      for (;;) {
        if (platform::PumpOneMessage()) continue;
        if (worker.WaitFor(10)) break;
      }
      result = worker.Result();
    } else {
      // Waiting on a thread that does not exist would never end: run the installation here.
      // Nothing would pump the dialog's messages meanwhile, and a setup program that
      // broadcasts a message (a settings change, a DDE start) would wait for it for ever: the
      // dialog goes first, and the worker runs without a window.
      if (launch.dialog != nullptr) platform::DestroyWindow(launch.dialog);
      launch.dialog = nullptr;
      launch.hwndProgress = nullptr;
      support::Trace("No worker thread: running without the progress window\n");
      result = InstallationWorker(nullptr);
    }
  }
  if (launch.dialog != nullptr) platform::DestroyWindow(launch.dialog);
  launch.dialog = nullptr;
  launch.hwndProgress = nullptr;
  return result;
}

}  // namespace

int RunEntry(const std::u16string& commandTail, const std::u16string& ownPath) {
  // First of all: the process runs elevated, often from a downloads folder, so no DLL that is
  // loaded later may come from beside the executable or from the workspace.
  switch (platform::RestrictDllSearchPath()) {
    case platform::DllSearchRestriction::kSystem32Only:
      support::Trace("DLL search: system directory only (SetDefaultDllDirectories)\n");
      break;
    case platform::DllSearchRestriction::kNoCurrentDirectory:
      support::Trace("DLL search: current directory removed (SetDllDirectoryW)\n");
      break;
    case platform::DllSearchRestriction::kNone:
      support::Trace("DLL search: not restricted\n");
      break;
  }

  // A stub whose key place nobody filled trusts no key: nothing is unpacked, nothing is shown.
  if (!verify::KeysArePlaced()) {
    support::Trace("No keys in the installer's key place: it was never filled, refusing to run\n");
    return static_cast<int>(kNoKeysPlaced);
  }

  support::LaunchState& launch = support::Launch();
  launch.arguments = platform::SplitCommandLine(commandTail);
  launch.ownPath = ownPath.empty() ? platform::OwnExecutablePath() : ownPath;
  // The run mode and the setup program come from one file, opened once here and checked to be
  // the program running: after an elevation prompt the same user could have renamed the running
  // file away and put another at its path.
  launch.ownImage = platform::OpenOwnImage(launch.ownPath);
  std::string mode;
  if (launch.ownImage.IsOpen()) {
    platform::File image = launch.ownImage.Reopen();
    mode = container::ReadAttachmentToString(image, "TYPE");
  } else {
    support::Trace("Could not open %s as the running program\n",
                   support::WideToUtf8(launch.ownPath).c_str());
  }
  if (mode.empty()) {
    launch.ownImage.Close();
    launch.arguments.clear();
    return 1;
  }
  launch.runMode = TrimRunMode(std::move(mode));
  DebugText("Type is %s\n", launch.runMode.c_str());

  const unsigned result =
      launch.runMode == "gui" ? RunBehindProgressWindow() : InstallationWorker(nullptr);
  launch.ownImage.Close();
  launch.arguments.clear();
  // The exit code is the run's: the setup program's own, or why it never ran (RunFailure).
  return static_cast<int>(result);
}

std::u16string JoinCommandTail(const std::vector<std::u16string>& arguments) {
  std::u16string tail;
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::u16string& argument = arguments[index];
    if (index > 0) tail += u' ';
    // In quotes when empty or holding a blank; a quote is escaped with a backslash, and the
    // backslashes before it, or before the closing quote, are doubled.
    const bool quote = argument.empty() || argument.find_first_of(u" \t") != std::u16string::npos;
    tail += support::EscapeCommandArgument(argument, quote);
  }
  return tail;
}

}  // namespace installer
