// The installation worker: unpacks the setup program and its bundle into a fresh workspace,
// applies the bundle's install script, verifies the setup program, runs it and waits, and
// deletes the workspace on every path. The install script's rules are in install_script.h, the
// workspace's life in support/workspace.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace installer {

// The installer's exit code when the setup program did not run, one per cause. They lie in a
// block of their own: bit 29 set, which Windows leaves to applications (no system error code,
// NTSTATUS or HRESULT of the system has it), then "ZT", then a low byte from 0xE1 up, so that
// even where only the low 8 bits of an exit code survive (a POSIX shell, Wine seen from Linux)
// they stay non-zero, apart from each other and above the 128 + signal numbers of shells.
enum RunFailure : uint32_t {
  kNoWorkspace = 0x205A54E1,            // no workspace made or held, or its path moved away
  kSetupNotExtracted = 0x205A54E2,      // LOAD not copied out of the installer
  kBundleNotExtracted = 0x205A54E3,     // IBND not copied out of the setup program
  kBundleInvalid = 0x205A54E4,          // the bundle failed validation or has no install_script
  kEntryNotExtracted = 0x205A54E5,      // an install-script entry could not be extracted
  kTargetRefused = 0x205A54E6,          // a selected directive names a target that is refused
  kSetupSignatureInvalid = 0x205A54E7,  // the setup program's signature did not verify
  kSetupNotStarted = 0x205A54E8,        // the setup program could not be started
  kStoppedByError = 0x205A54E9,         // the run stopped on an error of its own (out of memory)
  kBundleNotBound = 0x205A54EA,         // the setup program is bound to another bundle
  kNoKeysPlaced = 0x205A54EB,           // the stub's key place was never filled: nothing trusted
};

// The thread procedure: the argument is ignored. Returns the setup program's own exit code when
// it was started and has ended, otherwise the RunFailure of the step that failed. The workspace
// is gone when it returns.
unsigned InstallationWorker(void* unused);

// The setup program's command line: the quoted program path, each argument as
// support::QuoteCommandArgument gives it, then the quoted own path.
std::u16string BuildSetupCommandLine(const std::u16string& workspace,
                                     const std::vector<std::u16string>& arguments,
                                     const std::u16string& ownPath);

}  // namespace installer
