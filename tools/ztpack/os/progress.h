// Progress on a terminal for the long subcommands (make, bundle, extract, verify): bytes and
// files done, rate and time left, redrawn in place on standard error. Nothing is drawn when
// standard error is not a terminal, with --quiet, or before the work has taken a second (small
// inputs stay silent).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ztpack {

// One status line: "make: 120.0 of 564.0 MiB, 3 of 10 files, 40.0 MiB/s, 0:11 left".
// totalFiles 0 leaves the files out; a rate is shown once some time has passed.
std::string FormatProgress(const std::string& label, uint64_t bytesDone, uint64_t totalBytes,
                           uint64_t filesDone, uint64_t totalFiles, double elapsedSeconds);

class ProgressMeter {
 public:
  ProgressMeter(std::string label, uint64_t totalBytes, uint64_t totalFiles, bool quiet);
  ~ProgressMeter();  // ends the line if one was drawn
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  void Update(uint64_t bytesDone, uint64_t filesDone);
  void SetTotals(uint64_t totalBytes, uint64_t totalFiles);
  void Finish();

 private:
  std::string label_;
  uint64_t totalBytes_, totalFiles_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_, lastDraw_;
};

}  // namespace ztpack
