// Reads the TYPE attachment from its own .ZTBNDL section and prints it, the way the front end
// learns its run mode, and writes one trace line (seen only while the trace switch is on).
// Exit code 0 when the attachment was found and is not empty, 1 otherwise.
#include <cstdio>
#include <string>

#include "container/attachment.h"
#include "platform/platform.h"
#include "support/trace.h"

int wmain() {
  support::Trace("read_own_type: reading %s with %d/%08x\n", "TYPE", 42, 0x1a2cu);
  std::string type = container::ReadAttachmentToString(platform::OwnExecutablePath(), "TYPE");
  std::fwrite(type.data(), 1, type.size(), stdout);
  std::fflush(stdout);
  return type.empty() ? 1 : 0;
}
