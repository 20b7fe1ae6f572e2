// Running the installer's own readers inside ztpack: they write trace lines on the debugger
// channel (standard error on POSIX, when the trace switch is on) and short messages on standard
// output, which ztpack keeps for its reports. While a Diagnostics is alive both are collected
// instead: the trace forced on, so that a refusal can be explained with the reader's own words;
// progress texts ("Progress %d%%") go to an optional callback.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace ztpack {

class Diagnostics {
 public:
  using ProgressCallback = std::function<void(int percent)>;
  explicit Diagnostics(ProgressCallback progress = nullptr);
  ~Diagnostics();
  Diagnostics(const Diagnostics&) = delete;
  Diagnostics& operator=(const Diagnostics&) = delete;

  // The last line that names something (trace lines first, else standard output), without its
  // line break; empty when nothing was said. Ends the capture.
  std::string Stop();
  // Every line that names something, in order, joined with "; " (at most the last 16). Ends the
  // capture.
  std::string Joined();

 private:
  static void Hook(const char* text, void* context);
  ProgressCallback progress_;
  std::FILE* capture_ = nullptr;
  int saved_ = -1;
  bool stopped_ = false;
  std::string last_;
  std::vector<std::string> said_;
};

}  // namespace ztpack
