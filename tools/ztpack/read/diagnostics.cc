#include "read/diagnostics.h"

#include <cstdlib>

#include "os/file_ops.h"

#include "platform/platform.h"
#include "support/trace.h"

namespace ztpack {
namespace {

std::string LastLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  size_t cut = text.find_last_of('\n');
  return cut == std::string::npos ? text : text.substr(cut + 1);
}

}  // namespace

Diagnostics::Diagnostics(ProgressCallback progress) : progress_(std::move(progress)) {
  platform::SetDebugOutputHook(&Diagnostics::Hook, this);
  support::testing::ForceTrace(1);
  std::fflush(stdout);
  capture_ = fileops::AnonymousTempFile();
  if (capture_ != nullptr) saved_ = fileops::RedirectStdout(capture_);
}

Diagnostics::~Diagnostics() { Stop(); }

std::string Diagnostics::Stop() {
  if (stopped_) return last_;
  stopped_ = true;
  std::fflush(stdout);
  fileops::RestoreStdout(saved_);
  platform::SetDebugOutputHook(nullptr, nullptr);
  support::testing::ForceTrace(-1);
  std::string printed;
  if (capture_ != nullptr) {
    std::rewind(capture_);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, capture_)) > 0) {
      // Only the end matters; the readers' messages are short.
      printed.append(buffer, n);
      if (printed.size() > 65536) printed.erase(0, printed.size() - 4096);
    }
    std::fclose(capture_);
  }
  // A trace line names the failure more precisely than the short printed messages.
  if (last_.empty()) last_ = LastLine(printed);
  return last_;
}

void Diagnostics::Hook(const char* text, void* context) {
  auto* self = static_cast<Diagnostics*>(context);
  std::string line(text);
  if (line.rfind("Progress ", 0) == 0) {
    if (self->progress_) self->progress_(std::atoi(line.c_str() + 9));
    return;
  }
  if (line.rfind("[T ", 0) != 0) return;
  line = LastLine(line.substr(support::kTracePrefixLength));
  // Lines that only say that things went as they should.
  for (const char* routine : {"Extracted", "Going to ", "Found attachment", "Iterated ",
                              "Iterate done", "Junk ", "Validating", "Opening"}) {
    if (line.rfind(routine, 0) == 0) return;
  }
  if (line.empty()) return;
  self->last_ = line;
  self->said_.push_back(line);
  if (self->said_.size() > 16) self->said_.erase(self->said_.begin());
}

std::string Diagnostics::Joined() {
  std::string last = Stop();
  if (said_.empty()) return last;
  std::string all;
  for (const std::string& line : said_) all += (all.empty() ? "" : "; ") + line;
  return all;
}

}  // namespace ztpack
