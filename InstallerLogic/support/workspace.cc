#include "support/workspace.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "platform/platform.h"
#include "support/text.h"
#include "support/trace.h"

namespace support {
namespace {

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (; *text; ++text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
  return out;
}

}  // namespace

std::u16string TempBase() {
  // Elevated, a base the unelevated user controls would let them swap the workspace; there is
  // no falling back to it (nor to the current directory).
  const bool elevated = platform::IsElevated();
  std::u16string base = elevated ? platform::SystemTempPath() : platform::TempPath();
  if (base.empty()) {
    if (elevated) return base;
    base = u".\\";
  }
  if (!EndsWith(base, u"\\")) base += u'\\';
  return base;
}

std::u16string WorkspaceName(uint32_t tick, int64_t time, int random) {
  char buffer[64];
  std::u16string name = u"ITMPD_";
  std::snprintf(buffer, sizeof buffer, "%" PRIu32, tick);
  name += Ascii(buffer);
  name += u'_';
  std::snprintf(buffer, sizeof buffer, "%" PRId64, time);
  name += Ascii(buffer);
  name += u'_';
  std::snprintf(buffer, sizeof buffer, "%d", random);
  name += Ascii(buffer);
  return name;
}

int WorkspaceRandom() {
  uint16_t value = 0;
  if (!platform::SystemRandom(&value, sizeof value)) return -1;
  return value & 0x7FFF;
}

std::u16string CreateWorkspace(platform::DirectoryHold* hold) {
  std::u16string base = TempBase();
  if (base.empty()) {
    Trace("No system temporary directory for the workspace\n");
    return std::u16string();
  }
  // The directory is created, not reused: if the name exists already (planted or left over),
  // a new name of the same form is drawn.
  for (int attempt = 0; attempt < kWorkspaceAttempts; ++attempt) {
    const int random = WorkspaceRandom();
    if (random < 0) {
      Trace("The system gave no random number for the workspace name\n");
      return std::u16string();
    }
    std::u16string path =
        base + WorkspaceName(platform::TickCount(), platform::CalendarTime(), random);
    if (!platform::CreateDirectory(path, /*restricted=*/true)) continue;
    if (hold != nullptr) {
      *hold = platform::DirectoryHold::Open(path);
      if (!hold->IsOpen()) {
        // Replaced between its creation and the hold: whatever stands there now is not ours
        // to trust, and only a link or an empty directory is removed.
        Trace("Could not hold the workspace %s\n", WideToUtf8(path).c_str());
        if (!platform::RemoveLink(path)) platform::RemoveDirectory(path);
        return std::u16string();
      }
    }
    return path + u'\\';
  }
  Trace("Could not create a new workspace under %s\n", WideToUtf8(base).c_str());
  return std::u16string();
}

bool PathExists(const std::u16string& path) {
  return platform::GetFileAttributes(path) != platform::kInvalidAttributes;
}

void DeleteDirectoryTree(const std::u16string& dir, platform::DirectoryHold* hold) {
  // A link given as the directory (one put in the workspace's place) is removed as a link;
  // entering it would delete whatever it points to.
  const uint32_t own = platform::GetFileAttributes(dir);
  if (own != platform::kInvalidAttributes && (own & platform::kAttrReparsePoint)) {
    Trace("Delete Link %s\n", WideToUtf8(dir).c_str());
    platform::RemoveLink(dir);
    return;
  }
  std::vector<platform::DirEntry> entries;
  if (platform::ListDirectory(dir, &entries)) {
    for (const platform::DirEntry& entry : entries) {
      if (entry.name == u"." || entry.name == u"..") continue;
      std::u16string path = dir + u'\\' + entry.name;
      const bool link = (entry.attributes & platform::kAttrReparsePoint) != 0;
      if (link && (entry.attributes & platform::kAttrDirectory)) {
        // A directory link is removed itself; what it points to may lie outside the workspace.
        Trace("Delete Link %s\n", WideToUtf8(path).c_str());
        platform::RemoveLink(path);
      } else if (!link && (entry.attributes & platform::kAttrDirectory)) {
        DeleteDirectoryTree(path);
      } else {
        // Files, and links to files: deleting a link removes the link, not its target.
        Trace("Delete File %s\n", WideToUtf8(path).c_str());
        platform::DeleteFile(path);
      }
    }
  }
  Trace("Delete Dir %s\n", WideToUtf8(dir).c_str());
  // Through the hold where there is one; by path otherwise, or when that failed (the hold is
  // closed then), where a link that took the name would only be unlinked.
  if (hold != nullptr && hold->IsOpen() && hold->RemoveAndClose()) return;
  platform::RemoveDirectory(dir);
}

void CreateParentDirectories(const std::u16string& path) {
  size_t position = 0;
  for (;;) {
    size_t slash = path.find(u'\\', position);
    if (slash == std::u16string::npos) return;
    std::u16string prefix = path.substr(0, slash);
    if (!prefix.empty() && !PathExists(prefix)) platform::CreateDirectory(prefix);
    position = slash + 1;
  }
}

void ParentDirectories::MakeFor(const std::u16string& path) {
  size_t slash = path.rfind(u'\\');
  if (slash == std::u16string::npos || known_.count(path.substr(0, slash)) != 0) return;
  // The nearest known ancestor; below it, each directory is checked and made, outer first, as
  // CreateParentDirectories does.
  std::vector<size_t> below;
  for (;;) {
    below.push_back(slash);
    if (slash == 0) break;
    size_t up = path.rfind(u'\\', slash - 1);
    if (up == std::u16string::npos || known_.count(path.substr(0, up)) != 0) break;
    slash = up;
  }
  for (auto it = below.rbegin(); it != below.rend(); ++it) {
    std::u16string prefix = path.substr(0, *it);
    if (!prefix.empty() && !PathExists(prefix)) platform::CreateDirectory(prefix);
    known_.insert(std::move(prefix));
  }
}

void CleanupList::AddDirectory(const std::u16string& path, platform::DirectoryHold* hold) {
  std::u16string p = path;
  if (EndsWith(p, u"\\")) p.pop_back();
  dirs_.push_back({p, hold});
}

void CleanupList::RunCleanup() {
  Trace("Begin cleanup of %d files\n", static_cast<int>(files_.size()));
  for (const auto& file : files_) {
    Trace("Cleanup %s\n", WideToUtf8(file).c_str());
    platform::DeleteFile(file);
  }
  Trace("Done\n");
  Trace("Begin cleanup of %d dirs\n", static_cast<int>(dirs_.size()));
  for (const Dir& dir : dirs_) {
    Trace("Cleanup %s\n", WideToUtf8(dir.path).c_str());
    if (dir.hold != nullptr && dir.hold->IsOpen() && !dir.hold->IsNamedBy(dir.path)) {
      // The path leads somewhere else now (a re-pointed link on the way): deleting by it would
      // delete what the user chose. The held directory stays, still held.
      Trace("Workspace moved: %s no longer names it; left alone\n", WideToUtf8(dir.path).c_str());
      continue;
    }
    DeleteDirectoryTree(dir.path, dir.hold);
  }
  Trace("Done\n");
  dirs_.clear();
  files_.clear();
}

bool Workspace::Create() {
  path_ = CreateWorkspace(&hold_);
  return !path_.empty();
}

bool Workspace::StillNamed(const char* step) const {
  if (hold_.IsNamedBy(path_)) return true;
  Trace("Workspace %s no longer names the directory made; stopped before %s\n",
        WideToUtf8(path_).c_str(), step);
  return false;
}

void Workspace::Remove() {
  CleanupList cleanup;
  // Without a workspace the list is empty, and only says so.
  if (!path_.empty()) cleanup.AddDirectory(path_, &hold_);
}

Workspace::~Workspace() {
  if (!path_.empty()) RetryRemoval();
  hold_.Close();
}

// The setup program ran with the workspace as its current directory; the system may release
// that directory a moment after the process has been reported ended (Wine does so), and a
// process it started, or a virus scanner, may still hold one of its files open. Then the
// clean-up could not remove it. Try again, for a bounded time, and only while the path still
// leads to the workspace: never once it is gone, never into a link put in its place, never
// while the clean-up found the path pointing elsewhere (the hold stays then).
void Workspace::RetryRemoval() {
  const std::u16string dir = path_.substr(0, path_.size() - 1);
  uint32_t waited = 0;
  uint32_t delay = kCleanupRetryFirstDelayMs;
  for (;;) {
    const uint32_t attributes = platform::GetFileAttributes(dir);
    if (attributes == platform::kInvalidAttributes) break;
    if (attributes & platform::kAttrReparsePoint) {
      Trace("A link stands in the workspace's place: %s left alone\n", WideToUtf8(dir).c_str());
      break;
    }
    if (hold_.IsOpen() && !hold_.IsNamedBy(dir)) break;
    if (waited >= kCleanupRetryBudgetMs) {
      Trace("Workspace still in use, left behind: %s\n", WideToUtf8(dir).c_str());
      break;
    }
    platform::SleepMilliseconds(delay);
    waited += delay;
    delay = std::min(delay * 2, kCleanupRetryLongestDelayMs);
    DeleteDirectoryTree(dir, &hold_);
  }
}

}  // namespace support
