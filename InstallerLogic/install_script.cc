#include "install_script.h"

#include <algorithm>
#include <cstring>

#include "bundle/bundle_reader.h"
#include "platform/platform.h"
#include "support/text.h"

namespace installer {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A component that Windows' path normalisation turns into "." or ".." (it drops trailing dots
// and spaces), other than "." itself, which names the directory it stands in.
bool IsDotComponent(std::u16string_view component) {
  if (component.empty() || component == u".") return false;
  for (char16_t c : component) {
    if (c != u'.' && c != u' ') return false;
  }
  return true;
}

// ASCII letters compared without case, with the two non-ASCII letters that Windows' case
// folding turns into ASCII ones (dotless i into "I", long s into "S").
char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  if (c == u'\u0131') return u'I';
  if (c == u'\u017F') return u'S';
  return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// The name as Windows resolves it: trailing dots and spaces dropped.
std::u16string_view WithoutTrailingDotsAndSpaces(std::u16string_view name) {
  while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.remove_suffix(1);
  return name;
}

// A component that CreateFileW opens as a device on Windows 10 and earlier: a reserved device
// name, alone or followed by an extension ("LPT1.txt") or by spaces, in any letter case.
bool IsDeviceName(std::u16string_view component) {
  std::u16string_view base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  for (std::u16string_view name : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (SameName(base, name)) return true;
  }
  if (base.size() != 4) return false;
  const char16_t digit = base[3];
  // COM1..COM9 and LPT1..LPT9, and the superscript digits that Windows takes as well.
  const bool isDigit = (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' ||
                       digit == u'\u00B2' || digit == u'\u00B3';
  return isDigit && (SameName(base.substr(0, 3), u"COM") || SameName(base.substr(0, 3), u"LPT"));
}

// The platform markers, in the order they are tested: a directive whose condition holds one is
// skipped on the platforms it excludes.
struct Marker {
  const char* text;
  bool (*excludes)(const Platform&);
};
constexpr Marker kMarkers[] = {
    {"-x86", [](const Platform& p) { return p.wow64; }},
    {"-x64", [](const Platform& p) { return !p.wow64; }},
    {"-w6+", [](const Platform& p) { return p.majorVersion < 6; }},
    {"-w<6", [](const Platform& p) { return p.majorVersion >= 6; }},
};

}  // namespace

Platform ThisPlatform() { return Platform{platform::IsWow64(), platform::MajorVersion()}; }

std::vector<std::string> PlatformArchitectures() {
  std::vector<std::string> names;
  for (const PlatformClass& c : kPlatformClasses) {
    if (std::find(names.begin(), names.end(), c.architecture) == names.end()) {
      names.push_back(c.architecture);
    }
  }
  return names;
}

Platform PlatformFor(const std::string& architecture, uint32_t majorVersion) {
  Platform platform;
  for (const PlatformClass& c : kPlatformClasses) {
    if (architecture == c.architecture) platform = c.representative;
  }
  platform.majorVersion = majorVersion;
  return platform;
}

size_t PlatformClassOf(const Platform& platform) {
  // The class whose representative every marker treats as it treats `platform`.
  for (size_t i = 0; i < kPlatformClasses.size(); ++i) {
    const Platform& representative = kPlatformClasses[i].representative;
    bool same = true;
    for (const Marker& marker : kMarkers) {
      same &= marker.excludes(representative) == marker.excludes(platform);
    }
    if (same) return i;
  }
  return 0;  // not reached: the classes cover every platform
}

bool PlatformClassMatches(size_t index, const std::string& architecture, int majorVersion) {
  const PlatformClass& c = kPlatformClasses[index];
  if (!architecture.empty() && architecture != c.architecture) return false;
  if (majorVersion < 0) return true;
  const Platform named = PlatformFor(c.architecture, static_cast<uint32_t>(majorVersion));
  return PlatformClassOf(named) == index;
}

std::string TrimRunMode(std::string mode) {
  while (!mode.empty() && IsBlankScriptByte(mode.back())) mode.pop_back();
  return mode;
}

std::string TrimScriptLine(std::string_view line) { return std::string(TrimmedScriptLine(line)); }

std::vector<std::string> ReadScriptLines(bundle::BundleReader& reader,
                                         bundle::EntryHandle* script) {
  std::vector<std::string> lines;
  char buffer[kScriptLineBufferSize];
  while (reader.ReadLine(buffer, kScriptLineBufferSize, script) != nullptr) {
    lines.emplace_back(buffer, strnlen(buffer, sizeof buffer));
  }
  return lines;
}

ScriptLineAction DecideScriptLine(const std::string& trimmedLine, const Platform& platform,
                                  const std::string& runMode, size_t workspaceLength) {
  ScriptLineAction action;
  if (trimmedLine.empty() || support::StartsWith(trimmedLine, "#")) return action;
  std::vector<std::string> fields = support::SplitString(trimmedLine, ',');
  action.fieldCount = fields.size();
  if (fields.size() >= 2) action.entry = fields[1];
  if (fields.size() >= 3) action.target = fields[2];
  if (!DirectiveApplies(fields[0], platform, runMode)) {
    action.kind = ScriptLineAction::kSkipped;
  } else if (fields.size() < 3) {
    // Nothing says what such a line would mean; reading fields it lacks is worse than skipping.
    action.kind = ScriptLineAction::kTooFewFields;
  } else if ((action.problem = TargetPathProblem(support::Utf8ToWide(fields[2]))) != nullptr ||
             (action.problem = TargetLengthProblem(workspaceLength,
                                                   support::Utf8ToWide(fields[2]))) != nullptr) {
    action.kind = ScriptLineAction::kRefusedTarget;
  } else {
    action.kind = ScriptLineAction::kExtract;
  }
  return action;
}

bool DirectiveApplies(const std::string& condition, const Platform& platform,
                      const std::string& runMode) {
  for (const Marker& marker : kMarkers) {
    if (Contains(condition, marker.text) && marker.excludes(platform)) return false;
  }
  if (!support::StartsWith(condition, "dep")) return false;
  return Contains(condition, "-" + runMode);
}

const char* TargetPathProblem(const std::u16string& relativeTarget) {
  if (relativeTarget.empty()) return "empty path";
  // Covers "C:x" drive-relative paths as well as "name:stream".
  if (relativeTarget.find(u':') != std::u16string::npos) {
    return "drive prefix or alternate data stream";
  }
  if (relativeTarget[0] == u'\\' || relativeTarget[0] == u'/') return "absolute or UNC path";
  // Windows takes both separators, whatever the install script intends.
  size_t start = 0;
  std::vector<std::u16string_view> named;  // the components that are not "." or empty
  for (;;) {
    size_t end = relativeTarget.find_first_of(u"\\/", start);
    std::u16string_view component(relativeTarget);
    component = component.substr(start, end == std::u16string::npos ? end : end - start);
    if (IsDotComponent(component)) return "\"..\" component";
    if (IsDeviceName(component)) return "device name";
    if (!component.empty() && component != u".") named.push_back(component);
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  // The setup program and the bundle are held open while entries are extracted; an entry
  // written over either would fail on a sharing violation, or replace what is verified and run.
  if (named.size() == 1) {
    std::u16string_view name = WithoutTrailingDotsAndSpaces(named.front());
    if (SameName(name, kSetupFileName) || SameName(name, kBundleFileName)) {
      return "names the setup program or the bundle";
    }
  }
  return nullptr;
}

const char* TargetLengthProblem(size_t workspaceLength, const std::u16string& relativeTarget) {
  // Plain Win32 paths end at MAX_PATH: 259 characters for a file, 247 for a directory
  // (CreateDirectoryW keeps room for an 8.3 name). A longer target is refused with its reason
  // rather than failing somewhere in the middle of creating it. The directory is what stands
  // before the last backslash of the whole path, the workspace's own trailing one included.
  if (workspaceLength + relativeTarget.size() > kMaxTargetPath) {
    return "path longer than 259 characters";
  }
  const size_t slash = relativeTarget.rfind(u'\\');
  const size_t directory = slash != std::u16string::npos ? workspaceLength + slash
                           : workspaceLength > 0         ? workspaceLength - 1
                                                         : 0;
  return directory > kMaxDirectoryPath ? "directory longer than 247 characters" : nullptr;
}

}  // namespace installer
