// Process-wide values written by the entry point before the installation worker starts and only
// read afterwards (thread creation orders the writes before the worker's reads), and the
// progress report that every long step makes.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace support {

struct LaunchState {
  std::vector<std::u16string> arguments;  // the split command-line tail
  std::u16string ownPath;                 // full path of the running executable
  // The running executable, opened once through ownPath and held against changes: TYPE and LOAD
  // are both read through it (each through a handle of its own, File::Reopen), never by opening
  // the path again, which may name another file by then.
  platform::File ownImage;
  std::string runMode;           // the TYPE attachment, trimmed at its end
  void* dialog = nullptr;        // the progress window, null when there is none
  void* hwndProgress = nullptr;  // its bar, null when there is none
};

LaunchState& Launch();

// Writes "Progress %d%%" (base + offset) straight to the debugger output channel, then moves
// the progress bar when there is one.
void ReportProgress(int base, int offset);

}  // namespace support
