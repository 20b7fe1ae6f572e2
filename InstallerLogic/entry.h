// The program's entry sequence, shared by the Windows GUI entry point and the native one: fills
// the launch state, reads the run mode from the own executable's TYPE attachment, and runs the
// installation worker silently or behind the progress window.
#pragma once

#include <string>
#include <vector>

namespace installer {

// Returns the process exit code: 1 when the run mode is empty (TYPE missing, damaged or empty, or
// the file at the own path is not the running program); otherwise the installation worker's
// result, the setup program's own exit code or a RunFailure (worker.h). `ownPath` empty means
// the running executable's own path.
int RunEntry(const std::u16string& commandTail, const std::u16string& ownPath = std::u16string());

// The command-line tail a Windows program gets when it is started with `arguments` from a POSIX
// shell under Wine, which quotes each the same way: used where the arguments arrive already
// split, as on POSIX, so that the native program then splits the tail as the Windows one does.
// The Windows rules split it back into `arguments`, except a first argument with a quote in it
// or a blank and a trailing backslash, which they read as a program name (see
// platform::SplitCommandLine).
std::u16string JoinCommandTail(const std::vector<std::u16string>& arguments);

}  // namespace installer
