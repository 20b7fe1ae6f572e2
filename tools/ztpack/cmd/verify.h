// The checks of `ztpack verify` (cmd/verify.cc) as a function: what `make` asks of the installer
// it signed, in place of reading the command's text.
#pragma once

#include <string>
#include <vector>

namespace ztpack {

struct VerifyOptions {
  std::string file, rootKey, setupKey, mode, platform;
  int windowsMajor = -1;
  bool json = false, quiet = false;
};

struct VerifyVerdict {
  int exitCode = 0;  // as the command exits: 0 only when the installer would run its setup program
  // Why nothing was checked (exit code 1 or 2), as the command reports it; empty once checked.
  std::string error;
  // The report's lines of the checks that failed, then its verdict lines, as the text report
  // prints them.
  std::vector<std::string> failures;
};

// Every check, quietly (no report, no progress).
VerifyVerdict VerifyQuietly(VerifyOptions options);

}  // namespace ztpack
