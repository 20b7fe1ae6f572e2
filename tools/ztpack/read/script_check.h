// Checks of an install script against the installer's own rules, for `bundle` and `make` (before
// anything is written) and for `verify` (on an existing installer).
//
// The script is read, trimmed and decided line by line with the installer's own rules
// (script_line.h and install_script.h: ScriptLinesOf, TrimScriptLine, DecideScriptLine), for each
// platform class the markers tell apart (installer::kPlatformClasses) and each run mode in
// question. What the installer would refuse is an error; what it would quietly do differently from
// what the script seems to say is a warning.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "install_script.h"
#include "support/result.h"

namespace ztpack {

// The installer appends every target to its workspace path, which is not known when a script is
// checked; two lengths stand for it (the trailing backslash included):
//   - the shortest workspace the installer makes: elevated (as its manifest requires) it lies in
//     the system's temporary directory, C:\Windows\Temp\ on a default installation, and its
//     shortest name has a one-digit tick count and random part and a ten-digit time (any clock
//     from September 2001 on): "C:\Windows\Temp\ITMPD_0_1000000000_0\". A target too long
//     below it is refused on every machine.
//   - a long one: not elevated, in the user's %TEMP%, "C:\Users\<a user name of 20 characters,
//     the longest Windows allows>\AppData\Local\Temp\", with the longest name,
//     "ITMPD_<10 digits>_<10 digits>_<10 digits>\". A target too long below it draws a warning.
constexpr size_t kShortestWorkspacePath = 37;
constexpr size_t kLongWorkspacePath = 88;
constexpr char kShortestWorkspaceExample[] = "C:\\Windows\\Temp\\ITMPD_0_1000000000_0\\";
constexpr char kLongWorkspaceExample[] =
    "C:\\Users\\<20 characters>\\AppData\\Local\\Temp\\ITMPD_<10 digits>_<10 digits>_<10 digits>\\";

struct ScriptFinding {
  bool error = false;  // refused at build time; otherwise a warning
  int line = 0;        // 1-based script line, 0 when it concerns no one line
  std::string text;
  // The platforms (indices into installer::kPlatformClasses) on which the installer fails
  // because of it.
  std::vector<int> failsOn;
};

// One extraction the worker performs.
struct ScriptExtraction {
  int line = 0;
  std::string entry;
  std::string target;  // relative to the workspace, as written
};

struct ScriptCheck {
  std::vector<std::string> modes;  // the run modes checked
  size_t lineCount = 0, directiveCount = 0;
  std::vector<ScriptFinding> findings;  // in line order, then the whole-script ones
  // For each run mode (index into `modes`) and platform: what the worker extracts, in order.
  using PerPlatform = std::array<std::vector<ScriptExtraction>, installer::kPlatformClassCount>;
  std::vector<PerPlatform> extractions;

  size_t ErrorCount() const;
  size_t WarningCount() const;
  // The first error that makes the installer fail on `platform`, or null.
  const ScriptFinding* FailureOn(int platform) const;
};

// Checks `rawLines` (as ReadScriptLines returns them) against the bundle's entry names, in
// stream order, for every mode in `modes`.
ScriptCheck CheckScript(const std::vector<std::string>& rawLines,
                        const std::vector<std::string>& entryNames,
                        const std::vector<std::string>& modes);

// Adds a warning when the public key block's expiry (0: none) lies before `now`.
void CheckExpiry(uint32_t expiry, int64_t now, ScriptCheck* check);

// The lines of an install script file exactly as the installer will read them from the bundle
// (script_line.h: carriage returns, 2047-byte pieces and zero bytes as the installer treats
// them), or why the file cannot be read.
support::Result<std::vector<std::string>> ReadScriptFileAsInstaller(const std::string& path);
// The same for a script already read (`what` names it); the bytes checked are then the bytes
// packed. It cannot fail; the result type keeps its callers' shape.
support::Result<std::vector<std::string>> ReadScriptAsInstaller(const std::string& bytes,
                                                                const std::string& what);

// One line per finding, for people: "error: install script line 3: ..." or "warning: install
// script: ..." (no line number for a finding about the whole script). Callers indent them.
std::vector<std::string> DescribeFindings(const ScriptCheck& check);

// The run modes `make` and `build` accept: exactly these bytes.
bool IsAcceptedRunMode(const std::string& mode);

}  // namespace ztpack
