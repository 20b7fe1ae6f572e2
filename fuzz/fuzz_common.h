// What the fuzz targets share: a scratch path of their own, quiet outputs, and invariant checks
// that stop the run with a readable message.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace fuzz {

// A path unique to this process, e.g. ScratchPath("pe", ".exe"): in /dev/shm where there is one
// (each input is written to a file and read back; on a disk the run would wait on writes more
// than it fuzzes), else under /tmp.
inline std::string ScratchPath(const std::string& tag, const std::string& suffix = "") {
  static const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return base + "/zt-fuzz-" + tag + "-" + std::to_string(::getpid()) + suffix;
}

// The code under test prints diagnostics to standard output and traces to the debugger
// channel; neither should flood the fuzzer's own output.
inline void QuietOutputs() {
  std::freopen("/dev/null", "w", stdout);
  platform::SetDebugOutputHook([](const char*, void*) {}, nullptr);
}

inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace fuzz
