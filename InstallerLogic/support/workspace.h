// The temporary workspace the installation unpacks into, from its creation to its removal.
//
// The workspace is "ITMPD_<tick>_<time>_<rand>" under the temporary directory. The program runs
// elevated while the same user, unelevated, controls their own %TEMP%: they could rename the
// workspace away and put a directory or junction of their own in its place, or re-point a
// junction on the way to %TEMP%. So, elevated, the workspace is made under the system's
// temporary directory (users may create entries there but not delete or rename others'), with a
// DACL that keeps them out, even where the user is its owner; and in every case the directory is
// held open from its creation until it is removed, by a handle that denies others deleting or
// renaming it, and the worker checks that the workspace path still names that directory before
// each step that trusts it. Tick and
// time are guessable, and the random part has only 15 bits, so the workspace is only ever a
// directory this process has just created: on a collision a new name of the same form is drawn,
// a bounded number of times. The random part comes from the system's generator: an unseeded
// rand() gives every process the same sequence, and another user could plant every name that
// a run would draw for a given tick and make it fail. Deletion never follows a link: not one
// inside the tree, and not one standing in the workspace's place.
//
// The Workspace class below is that life in one place: Create makes and holds the directory,
// StillNamed checks the path before a step that trusts it, Remove deletes it once nothing in it
// is open, and its end tries again for a bounded time before it lets go of the hold.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"

namespace support {

// The temporary directory, ending with exactly one backslash: elevated, the system's (empty
// when it is unknown: the user's own is never taken instead); otherwise the user's, or ".\"
// when there is none.
std::u16string TempBase();

// "ITMPD_" + tick + "_" + time + "_" + random, each number in decimal.
std::u16string WorkspaceName(uint32_t tick, int64_t time, int random);
// The name's random part, 0..32767, from the system's random generator; -1 when it gives none.
int WorkspaceRandom();

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

// A workspace that could not be removed at once is tried again after 50 ms, the wait doubling up
// to a second, for ten seconds in all: long enough for a scanner or a process the setup program
// left behind to let go of a file, short enough that the installer still ends.
constexpr uint32_t kCleanupRetryFirstDelayMs = 50;
constexpr uint32_t kCleanupRetryLongestDelayMs = 1000;
constexpr uint32_t kCleanupRetryBudgetMs = 10000;

// One run's workspace. Its end retries the removal (see kCleanupRetry*) while the path still
// leads to the workspace, then closes the hold.
class Workspace {
 public:
  Workspace() = default;
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // Makes and holds a new workspace (CreateWorkspace); false when there is none.
  bool Create();
  // With a trailing backslash; empty when none was made.
  const std::u16string& path() const { return path_; }
  // Whether the path still leads to the directory made and held, before the step that trusts
  // it (traced when it does not): writing the setup program, verifying it, starting it.
  bool StillNamed(const char* step) const;
  // The clean-up at the end of the run, as a CleanupList holding the workspace does it (traced
  // alike even when there is none).
  void Remove();

  // Removes the workspace when it goes out of scope: declared before everything that opens files
  // in the workspace, it runs after they have closed them, on every path out.
  class RemoveAtExit {
   public:
    explicit RemoveAtExit(Workspace* workspace) : workspace_(workspace) {}
    ~RemoveAtExit() { workspace_->Remove(); }
    RemoveAtExit(const RemoveAtExit&) = delete;
    RemoveAtExit& operator=(const RemoveAtExit&) = delete;

   private:
    Workspace* workspace_;
  };

 private:
  void RetryRemoval();

  std::u16string path_;
  platform::DirectoryHold hold_;
};

}  // namespace support
