// The temporary workspace the installation unpacks into, and its clean-up.
//
// The workspace is "ITMPD_<tick>_<time>_<rand>" under the user's temporary directory. That name
// is predictable and the directory is user-writable while the program runs elevated, so the
// workspace is only ever a directory this process has just created: on a collision a new name
// of the same form is drawn, a bounded number of times. Deletion never follows a directory
// link out of the tree.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace support {

// The temporary directory, ending with exactly one backslash (".\" when there is none).
std::u16string TempBase();

// "ITMPD_" + tick + "_" + time + "_" + random, each number in decimal.
std::u16string WorkspaceName(uint32_t tick, int64_t time, int random);

// Creates a new workspace directory and returns its path with a trailing backslash, or an
// empty string when no new directory could be made.
std::u16string CreateWorkspace();
constexpr int kWorkspaceAttempts = 16;

bool PathExists(const std::u16string& path);

// Deletes a directory and everything below it, depth first; links are removed, not entered.
void DeleteDirectoryTree(const std::u16string& dir);

// Creates every missing directory on the way to the last backslash-separated component.
void CreateParentDirectories(const std::u16string& path);

// CreateParentDirectories for many files of one run: a directory this object has seen exist, or
// made, is not looked at again, so that files in one folder cost no further calls. Used by one
// thread at a time.
class ParentDirectories {
 public:
  void MakeFor(const std::u16string& path);

 private:
  std::unordered_set<std::u16string> known_;
};

// What must be deleted when a run ends: files, then directory trees, in the order added.
class CleanupList {
 public:
  CleanupList() = default;
  ~CleanupList() { RunCleanup(); }
  CleanupList(const CleanupList&) = delete;
  CleanupList& operator=(const CleanupList&) = delete;

  void AddFile(const std::u16string& path) { files_.push_back(path); }
  // A trailing backslash is removed before the directory is registered.
  void AddDirectory(const std::u16string& path);
  void RunCleanup();

 private:
  std::vector<std::u16string> files_;
  std::vector<std::u16string> dirs_;
};

}  // namespace support
