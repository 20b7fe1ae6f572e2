#include "os/progress.h"

#include <cstdio>

#include "os/file_ops.h"

namespace ztpack {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(200);

}  // namespace

std::string FormatProgress(const std::string& label, uint64_t bytesDone, uint64_t totalBytes,
                           uint64_t filesDone, uint64_t totalFiles, double elapsedSeconds) {
  char text[256];
  int n = std::snprintf(text, sizeof text, "%s: %.1f of %.1f MiB", label.c_str(), bytesDone / kMiB,
                        totalBytes / kMiB);
  std::string line(text, static_cast<size_t>(n));
  if (totalFiles > 0) {
    std::snprintf(text, sizeof text, ", %llu of %llu files",
                  static_cast<unsigned long long>(filesDone),
                  static_cast<unsigned long long>(totalFiles));
    line += text;
  }
  if (elapsedSeconds > 0.05 && bytesDone > 0) {
    const double rate = bytesDone / elapsedSeconds;
    std::snprintf(text, sizeof text, ", %.1f MiB/s", rate / kMiB);
    line += text;
    if (totalBytes >= bytesDone) {
      const auto left = static_cast<unsigned long long>((totalBytes - bytesDone) / rate + 0.5);
      std::snprintf(text, sizeof text, ", %llu:%02llu left", left / 60, left % 60);
      line += text;
    }
  }
  return line;
}

ProgressMeter::ProgressMeter(std::string label, uint64_t totalBytes, uint64_t totalFiles,
                             bool quiet)
    : label_(std::move(label)),
      totalBytes_(totalBytes),
      totalFiles_(totalFiles),
      enabled_(!quiet && fileops::StderrIsTerminal()),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

ProgressMeter::~ProgressMeter() { Finish(); }

void ProgressMeter::SetTotals(uint64_t totalBytes, uint64_t totalFiles) {
  totalBytes_ = totalBytes;
  totalFiles_ = totalFiles;
}

void ProgressMeter::Update(uint64_t bytesDone, uint64_t filesDone) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < kFirstDraw || (drawn_ && now - lastDraw_ < kRedraw)) return;
  lastDraw_ = now;
  drawn_ = true;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::string line =
      FormatProgress(label_, bytesDone, totalBytes_, filesDone, totalFiles_, elapsed);
  // "\x1b[K" clears what a longer previous line left behind.
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
}

void ProgressMeter::Finish() {
  if (drawn_) {
    std::fputc('\n', stderr);
    drawn_ = false;
  }
  enabled_ = false;
}

}  // namespace ztpack
