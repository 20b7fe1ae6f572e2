// The program's entry sequence, shared by the Windows GUI entry point and the native one: fills
// the launch state, reads the run mode from the own executable's TYPE attachment, and runs the
// installation worker silently or behind the progress window.
#pragma once

#include <string>
#include <vector>

namespace installer {

// Returns the process exit code: 1 when the run mode is empty, otherwise 0 whatever the
// installation's result. `ownPath` empty means the running executable's own path.
int RunEntry(const std::u16string& commandTail, const std::u16string& ownPath = std::u16string());

// Trims the run mode at its end: every trailing byte that is 32 or less as a signed char.
std::string TrimRunMode(std::string mode);

// A command-line tail that the Windows splitting rules turn back into exactly `arguments`
// (used where the arguments arrive already split, as on POSIX).
std::u16string JoinCommandTail(const std::vector<std::u16string>& arguments);

}  // namespace installer
