// Other programs that ztpack runs (osslsigncode, and itself for `verify`): started by their
// arguments, never through a shell, with standard input from the null device so that nothing
// waits for a person to type, and their standard output and error captured together.
// process_posix.cc and process_win32.cc implement it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/result.h"

namespace ztpack::process {

struct Finished {
  int exitCode = -1;   // the program's exit status; 128 + the signal when one ended it
  std::string output;  // standard output and error, interleaved (at most kMaxOutput bytes)
};
inline constexpr size_t kMaxOutput = 1 << 20;

// Runs `program` (a path) with `arguments` (argv[1...]) and waits for it. `environment` adds or
// replaces variables of the tool's own environment for the child only. Fails only when the
// program cannot be started.
support::Result<Finished> Run(
    const std::string& program, const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment = {});

// `name` itself when it holds a directory separator, else the first executable file of that
// name in PATH (on Windows also with ".exe"); empty when there is none.
std::string FindProgram(const std::string& name);

}  // namespace ztpack::process
