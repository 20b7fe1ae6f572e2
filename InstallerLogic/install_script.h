// The install script's rules: how its lines are read and trimmed, which directives apply on which
// platform and in which run mode, and which targets may be written. The installation worker
// applies them; ztpack links this module (and not the worker) to check scripts at build time, to
// verify an installer and to replay an installation, so that both sides decide every line alike.
//
// Install script (bundle entry "install_script"): one directive per line, fields separated by
// ",", no quoting. Field 0 is the condition ("dep" followed by markers found by substring
// search), field 1 the entry name, field 2 the target path relative to the workspace with
// backslashes between directories. How the bytes become lines and how lines are trimmed is
// script_line.h; empty lines and lines starting with "#" are comments.
//
// A new platform marker is added here alone: a row in the marker table (install_script.cc), the
// fact it tests in Platform (and ThisPlatform) when it is a new one, and the platform classes it
// tells apart in kPlatformClasses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "script_line.h"

namespace bundle {
class BundleReader;
struct EntryHandle;
}  // namespace bundle

namespace installer {

// ---- Platforms ----

// What the markers look at on the machine the installer runs on.
struct Platform {
  bool wow64 = false;         // 64-bit Windows: "-x64" directives apply, "-x86" ones do not
  uint32_t majorVersion = 6;  // "-w6+" from 6 on, "-w<6" below
};

// The running machine's, from the platform layer.
Platform ThisPlatform();

// One class of platforms the markers tell apart, named by a representative.
struct PlatformClass {
  Platform representative;
  const char* architecture;  // ztpack's --platform value for it
  const char* name;          // how reports name it
};
// Every class, in the order ztpack's reports list them. A major version of 5 stands for every
// version below 6, 6 for every version from 6 on.
inline constexpr std::array<PlatformClass, 4> kPlatformClasses = {{
    {{false, 6}, "x86", "x86 Windows 6+"},
    {{true, 6}, "x64", "x64 Windows 6+"},
    {{false, 5}, "x86", "x86 Windows 5"},
    {{true, 5}, "x64", "x64 Windows 5"},
}};
constexpr size_t kPlatformClassCount = kPlatformClasses.size();

// The architectures ztpack's --platform accepts, in kPlatformClasses' order, each once.
std::vector<std::string> PlatformArchitectures();

// The platform ztpack's `--platform ARCHITECTURE --windows-major N` name (ARCHITECTURE one of
// PlatformArchitectures()).
Platform PlatformFor(const std::string& architecture, uint32_t majorVersion);

// The index in kPlatformClasses of the class `platform` belongs to.
size_t PlatformClassOf(const Platform& platform);

// Whether class `index` is one of those that ztpack's options name: `architecture` empty and
// `majorVersion` negative leave that part open.
bool PlatformClassMatches(size_t index, const std::string& architecture, int majorVersion);

// ---- Run mode ----

// Trims the run mode at its end: every trailing byte that is 32 or less as a signed char.
std::string TrimRunMode(std::string mode);

// ---- Script lines ----

// TrimmedScriptLine (script_line.h) as a string of its own.
std::string TrimScriptLine(std::string_view line);

// The install script as the worker reads it: every piece ReadLine returns into a buffer of
// kScriptLineBufferSize bytes, cut at an embedded zero byte, not yet trimmed (what ScriptLinesOf
// gives for the entry's bytes).
std::vector<std::string> ReadScriptLines(bundle::BundleReader& reader, bundle::EntryHandle* script);

// The marker tests on a directive's condition field, in their fixed order: "-x86", "-x64",
// "-w6+", "-w<6", the "dep" prefix, and the required mode marker "-" + run mode.
bool DirectiveApplies(const std::string& condition, const Platform& platform,
                      const std::string& runMode);

// What the worker does with one trimmed script line on a platform and in a run mode.
struct ScriptLineAction {
  enum Kind {
    kComment,        // empty or starting with "#"
    kSkipped,        // the condition does not select it here
    kTooFewFields,   // selected, but fewer than three fields: skipped with a trace line
    kRefusedTarget,  // selected, but the target is refused (`problem`): the run fails
    kExtract,        // extract `entry` to workspace + `target`
  };
  Kind kind = kComment;
  size_t fieldCount = 0;
  std::string entry;              // field 1
  std::string target;             // field 2 as written, UTF-8
  const char* problem = nullptr;  // kRefusedTarget: why
};
// `workspaceLength` is the length of the workspace path the target is appended to, its
// trailing backslash included: a target is refused as TargetPathProblem and
// TargetLengthProblem refuse it.
ScriptLineAction DecideScriptLine(const std::string& trimmedLine, const Platform& platform,
                                  const std::string& runMode, size_t workspaceLength);

// ---- Targets ----

// The workspace's own files, which no install-script target may name.
inline constexpr char16_t kSetupFileName[] = u"setup.exe";
inline constexpr char16_t kBundleFileName[] = u"ibnd";

// Why a target path must not be written: it would leave the workspace (a ".." component or one
// that Windows reads as such, an absolute, drive or UNC path, an alternate data stream), a
// component is a device name that Windows opens as a port or console (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, with or without extension, any case), or it names the setup program or the
// bundle in the workspace. Null when it may be written.
const char* TargetPathProblem(const std::u16string& relativeTarget);

// The longest file and directory paths that plain Win32 calls take (MAX_PATH less the
// terminator, and less room for an 8.3 name for a directory).
constexpr size_t kMaxTargetPath = 259;
constexpr size_t kMaxDirectoryPath = 247;

// Why a target cannot be written with plain Win32 paths below a workspace path of
// `workspaceLength` characters (its trailing backslash included): the whole path would be longer
// than kMaxTargetPath, or its directory longer than kMaxDirectoryPath. Null when it fits.
const char* TargetLengthProblem(size_t workspaceLength, const std::u16string& relativeTarget);

}  // namespace installer
