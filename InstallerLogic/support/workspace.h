// The temporary workspace the installation unpacks into, and its clean-up.
//
// The workspace is "ITMPD_<tick>_<time>_<rand>" under the temporary directory. The program runs
// elevated while the same user, unelevated, controls their own %TEMP%: they could rename the
// workspace away and put a directory or junction of their own in its place, or re-point a
// junction on the way to %TEMP%. So, elevated, the workspace is made under the system's
// temporary directory (users may create entries there but not delete or rename others'), with a
// DACL that keeps them out; and in every case the directory is held open from its creation until
// it is removed, by a handle that denies others deleting or renaming it, and the worker checks
// that the workspace path still names that directory before each step that trusts it. The name
// is predictable, so the workspace is only ever a directory this process has just created: on a
// collision a new name of the same form is drawn, a bounded number of times. Deletion never
// follows a link: not one inside the tree, and not one standing in the workspace's place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace support {

// The temporary directory, ending with exactly one backslash: elevated, the system's (empty
// when it is unknown: the user's own is never taken instead); otherwise the user's, or ".\"
// when there is none.
std::u16string TempBase();

// "ITMPD_" + tick + "_" + time + "_" + random, each number in decimal.
std::u16string WorkspaceName(uint32_t tick, int64_t time, int random);

// Creates a new workspace directory and returns its path with a trailing backslash, or an
// empty string when no new directory could be made. With `hold`, the new directory is held
// open (see platform::DirectoryHold) before its path is returned; a directory that cannot be
// held is removed again and the result is empty.
std::u16string CreateWorkspace(platform::DirectoryHold* hold = nullptr);
constexpr int kWorkspaceAttempts = 16;

bool PathExists(const std::u16string& path);

// Deletes a directory and everything below it, depth first. Links are removed, not entered:
// a directory link is traced "Delete Link", any other link "Delete File" like a file; and a
// `dir` that is itself a link is removed as a link. With a `hold` on `dir`, the directory
// itself is removed through it (and by path where that fails: the hold is closed by then).
void DeleteDirectoryTree(const std::u16string& dir, platform::DirectoryHold* hold = nullptr);

// Creates every missing directory on the way to the last backslash-separated component.
void CreateParentDirectories(const std::u16string& path);

// What must be deleted when a run ends: files, then directory trees, in the order added.
class CleanupList {
 public:
  CleanupList() = default;
  ~CleanupList() { RunCleanup(); }
  CleanupList(const CleanupList&) = delete;
  CleanupList& operator=(const CleanupList&) = delete;

  void AddFile(const std::u16string& path) { files_.push_back(path); }
  // A trailing backslash is removed before the directory is registered. With a `hold` (which
  // must outlive the list), the directory is deleted only while its path still names the held
  // directory; otherwise it is left alone, still held, and the trace says so.
  void AddDirectory(const std::u16string& path, platform::DirectoryHold* hold = nullptr);
  void RunCleanup();

 private:
  struct Dir {
    std::u16string path;
    platform::DirectoryHold* hold;
  };
  std::vector<std::u16string> files_;
  std::vector<Dir> dirs_;
};

}  // namespace support
