// The installation worker: unpacks the setup program and its bundle into a fresh workspace,
// applies the bundle's install script, verifies the setup program, runs it and waits, and
// deletes the workspace on every path.
//
// Install script (bundle entry "install_script"): one directive per line, fields separated by
// ",", no quoting. Field 0 is the condition ("dep" followed by markers found by substring
// search), field 1 the entry name, field 2 the target path relative to the workspace with
// backslashes between directories. Lines are trimmed at both ends (every byte that is 32 or less
// as a signed char, so bytes 0x80-0xFF too); empty lines and lines starting with "#" are
// comments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bundle {
class BundleReader;
struct EntryHandle;
}  // namespace bundle

namespace installer {

// The installer's exit code when the setup program did not run, one per cause. They lie in a
// block of their own: bit 29 set, which Windows leaves to applications (no system error code,
// NTSTATUS or HRESULT of the system has it), then "ZT", then a low byte from 0xE1 up, so that
// even where only the low 8 bits of an exit code survive (a POSIX shell, Wine seen from Linux)
// they stay non-zero, apart from each other and above the 128 + signal numbers of shells.
enum RunFailure : uint32_t {
  kNoWorkspace = 0x205A54E1,           // no workspace made or held, or its path moved away
  kSetupNotExtracted = 0x205A54E2,     // LOAD not copied out of the installer
  kBundleNotExtracted = 0x205A54E3,    // IBND not copied out of the setup program
  kBundleInvalid = 0x205A54E4,         // the bundle failed validation or has no install_script
  kEntryNotExtracted = 0x205A54E5,     // an install-script entry could not be extracted
  kTargetRefused = 0x205A54E6,         // a selected directive names a target that is refused
  kSetupSignatureInvalid = 0x205A54E7, // the setup program's signature did not verify
  kSetupNotStarted = 0x205A54E8,       // the setup program could not be started
  kStoppedByError = 0x205A54E9,        // the run stopped on an error of its own (out of memory)
  kBundleNotBound = 0x205A54EA,        // the setup program is bound to another bundle
};

// The thread procedure: the argument is ignored. Returns the setup program's own exit code when
// it was started and has ended, otherwise the RunFailure of the step that failed. The workspace
// is gone when it returns.
unsigned InstallationWorker(void* unused);

// Clears trailing, then skips leading bytes that are 32 or less taken as signed 8-bit values.
std::string TrimScriptLine(std::string_view line);

// The marker tests on a directive's condition field, in their fixed order: "-x86", "-x64",
// "-w6+", "-w<6", the "dep" prefix, and the required mode marker "-" + run mode.
bool DirectiveApplies(const std::string& condition, bool wow64, uint32_t majorVersion,
                      const std::string& runMode);

// The install script as the worker reads it: every piece ReadLine returns into a buffer of
// kScriptLineBufferSize bytes, cut at an embedded zero byte, not yet trimmed.
std::vector<std::string> ReadScriptLines(bundle::BundleReader& reader, bundle::EntryHandle* script);

// What the worker does with one trimmed script line on a platform and in a run mode. ztpack
// calls the same function to check scripts at build time and to replay an installation.
struct ScriptLineAction {
  enum Kind {
    kComment,         // empty or starting with "#"
    kSkipped,         // the condition does not select it here
    kTooFewFields,    // selected, but fewer than three fields: skipped with a trace line
    kRefusedTarget,   // selected, but the target is refused (`problem`): the run fails
    kExtract,         // extract `entry` to workspace + `target`
  };
  Kind kind = kComment;
  size_t fieldCount = 0;
  std::string entry;               // field 1
  std::string target;              // field 2 as written, UTF-8
  const char* problem = nullptr;   // kRefusedTarget: why
};
// `workspaceLength` is the length of the workspace path the target is appended to, its
// trailing backslash included: a target is refused as TargetPathProblem and
// TargetLengthProblem refuse it.
ScriptLineAction DecideScriptLine(const std::string& trimmedLine, bool wow64,
                                  uint32_t majorVersion, const std::string& runMode,
                                  size_t workspaceLength);

// The workspace's own files, which no install-script target may name.
inline constexpr char16_t kSetupFileName[] = u"setup.exe";
inline constexpr char16_t kBundleFileName[] = u"ibnd";

// Why a target path must not be written: it would leave the workspace (a ".." component or one
// that Windows reads as such, an absolute, drive or UNC path, an alternate data stream), a
// component is a device name that Windows opens as a port or console (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, with or without extension, any case), or it names the setup program or the
// bundle in the workspace. Null when it may be written.
const char* TargetPathProblem(const std::u16string& relativeTarget);

// Why a target cannot be written with plain Win32 paths below a workspace path of
// `workspaceLength` characters (its trailing backslash included): the whole path would be longer
// than kMaxTargetPath, or its directory longer than kMaxDirectoryPath. Null when it fits.
const char* TargetLengthProblem(size_t workspaceLength, const std::u16string& relativeTarget);

// One argument as CommandLineToArgvW and the C runtime read it back: bare when it is not empty
// and holds no space, tab or double quote (byte for byte as given); otherwise in double quotes,
// each quote escaped and backslashes doubled only where they precede a quote.
std::u16string QuoteCommandArgument(const std::u16string& argument);

// The setup program's command line: the quoted program path, each argument as
// QuoteCommandArgument gives it, then the quoted own path.
std::u16string BuildSetupCommandLine(const std::u16string& workspace,
                                     const std::vector<std::u16string>& arguments,
                                     const std::u16string& ownPath);

constexpr int kScriptLineBufferSize = 2048;
// The longest file and directory paths that plain Win32 calls take (MAX_PATH less the
// terminator, and less room for an 8.3 name for a directory).
constexpr size_t kMaxTargetPath = 259;
constexpr size_t kMaxDirectoryPath = 247;
constexpr uint32_t kBundleMaxChunkSize = 26214400;
// A workspace that could not be removed at once is tried again after 50 ms, the wait doubling up
// to a second, for ten seconds in all: long enough for a scanner or a process the setup program
// left behind to let go of a file, short enough that the installer still ends.
constexpr uint32_t kCleanupRetryFirstDelayMs = 50;
constexpr uint32_t kCleanupRetryLongestDelayMs = 1000;
constexpr uint32_t kCleanupRetryBudgetMs = 10000;

}  // namespace installer
