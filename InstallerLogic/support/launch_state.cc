#include "support/launch_state.h"

#include <cstdio>

#include "platform/platform.h"

namespace support {

LaunchState& Launch() {
  static LaunchState state;
  return state;
}

void ReportProgress(int base, int offset) {
  int value = base + offset;
  char buffer[1024];
  std::snprintf(buffer, sizeof buffer, "Progress %d%%", value);
  platform::DebugOutput(buffer);
  if (Launch().hwndProgress != nullptr) platform::SetProgressPosition(Launch().hwndProgress, value);
}

}  // namespace support
