// The operating system's file and process services that ztpack needs beyond std::filesystem, in
// one place, so that the tool builds for Linux and for Windows from the same sources:
// file_ops_posix.cc and file_ops_win32.cc implement them, file_ops.cc holds what both share.
//
// Paths are UTF-8 strings throughout the tool. On Windows they become UTF-16 for the W calls
// (the core's own conversion); they never pass through the ANSI code page, which cannot name
// every file. That includes std::filesystem: a path made from a plain std::string is converted
// with the ANSI code page by MinGW's library, so the tool makes paths with U8Path and reads
// them back with U8String.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace ztpack::fileops {

std::filesystem::path U8Path(std::string_view utf8);
std::string U8String(const std::filesystem::path& path);
// With '/' between the components, as bundle entry names are written.
std::string U8GenericString(const std::filesystem::path& path);

// The text of the error of the last call here that failed on this thread.
std::string LastErrorText();

// The size of a regular file. The error is the reason alone: the system's words, or
// kNotRegularFile.
inline constexpr const char* kNotRegularFile = "not a regular file";
support::Result<uint64_t> RegularFileSize(const std::string& path);

// Which file a name or an open file is: its device (Windows: volume serial number) and its
// inode (file index). Two names of one file, hard links included, have the same.
struct FileId {
  uint64_t device = 0, index = 0;
  bool operator==(const FileId&) const = default;
  bool operator<(const FileId& other) const {
    return device != other.device ? device < other.device : index < other.index;
  }
};
// The identity of the file `path` names: with `followLinks` the file a link leads to, else a
// link itself. The error is the reason alone.
support::Result<FileId> IdentityOf(const std::string& path, bool followLinks = true);

// A file read and written at explicit offsets (pread/pwrite; ReadFile/WriteFile with an offset),
// so that no shared position is involved. Move-only; closes itself.
//
// Every file ztpack writes is created new (OutputFile): never opened through a link someone put
// at its name, never a file someone made there beforehand, whose owner and permissions would be
// theirs. On POSIX: O_CREAT|O_EXCL|O_NOFOLLOW; on Windows CREATE_NEW, shared for reading only,
// so that nobody renames, deletes or writes it while it is open.
class RawFile {
 public:
  enum class Mode {
    kRead,  // an existing file, read only
    // An existing file, read only, opened as it is named and never through a link: a link at
    // the name (the last component) fails to open (POSIX O_NOFOLLOW, and O_NONBLOCK so that a
    // FIFO put there does not block; Windows FILE_FLAG_OPEN_REPARSE_POINT, a reparse point
    // refused). Shared with writers, as kRead.
    kReadNoFollow,
    // The same, and on Windows shared for reading only: nobody writes, renames or deletes the
    // file while it is held open (POSIX has no such lock; there it is kReadNoFollow).
    kReadHeld,
    kCreateExclusive,        // a new file, read and write; fails when the name exists
    kCreateExclusiveSecret,  // the same, for private keys: the owner's alone from the first
                             // byte (POSIX 0600; Windows a protected DACL for the user only)
  };
  RawFile() = default;
  ~RawFile();
  RawFile(RawFile&& other) noexcept;
  RawFile& operator=(RawFile&& other) noexcept;
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  // Not open on failure; `exists` (when given) says whether it failed because the name exists.
  static RawFile Open(const std::string& path, Mode mode, bool* exists = nullptr);
  bool IsOpen() const { return handle_ != kInvalid; }
  // The descriptor (POSIX) or HANDLE (Windows), for handing to a child (process::RunOptions).
  intptr_t NativeHandle() const { return handle_; }
  // The identity of the open file itself.
  support::Result<FileId> Identity() const;

  // The count read (0 at the end) or -1; may be short.
  int64_t ReadAt(uint64_t offset, void* data, size_t length);
  // Reads until `length` bytes or the end: the count read (short only at the end) or -1.
  int64_t ReadFullyAt(uint64_t offset, void* data, size_t length);
  // The size of the open file; the error is the reason alone, kNotRegularFile for a directory,
  // a device or a pipe.
  support::Result<uint64_t> RegularSize() const;
  // The count written or -1; may be short.
  int64_t WriteAt(uint64_t offset, const void* data, size_t length);
  // Gives the file the permission bits of `target` when that is a regular file, else rw-r--r--,
  // so that a replacement keeps an executable executable. Windows has no such bits: nothing to do.
  bool TakePermissionsOf(const std::string& target);
  bool Sync();   // to the disk
  bool Close();  // false when the close reports an error; closed either way

  // A name that opens this very file for reading while it is open, whatever `path` (the name it
  // was created under) names meanwhile: on Linux its descriptor's entry in /proc/self/fd; on
  // Windows `path` itself, which nobody can rename or delete while the file is open (open it
  // sharing read, write and delete access: this handle holds them).
  std::string ReadBackName(const std::string& path) const;
  // True when `path` (not followed if it is a link) names this open file.
  bool IsNamedBy(const std::string& path) const;
  // Moves the open file to `to`, replacing a file of that name. On Windows by the handle
  // (nothing else can be moved in its place); on POSIX by name (`from`), checked afterwards.
  bool MoveTo(const std::string& from, const std::string& to);

 private:
  static constexpr intptr_t kInvalid = -1;
  intptr_t handle_ = kInvalid;
};

// Every byte of a file, in memory; at most `limit` bytes, a larger file is an error. The error
// names the path and the reason.
support::Result<std::string> ReadWholeFile(const std::string& path, uint64_t limit = 1ull << 30);

// Gives `length` bytes of the file from `offset` to `consume` in pieces of at most 1 MiB, in
// order; stops at the first error `consume` returns. A file that ends early is an error (it
// changed while it was read).
support::Status StreamFile(const std::string& path, uint64_t offset, uint64_t length,
                           const std::function<support::Status(const uint8_t*, size_t)>& consume);

// Renames `from` onto `to`, replacing a file of that name in one step.
bool RenameOnto(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
// True when `path` itself is a symbolic link, a junction or another reparse point (the
// attribute on Windows, where std::filesystem's symlink_status follows links).
bool IsLink(const std::string& path);
// Removes a directory and everything below it. Links inside, and `path` itself when it is one,
// are removed as links: never entered, nothing they point to is touched.
void RemoveTree(const std::string& path);

// A new directory named `prefix` + a unique random suffix inside `dir`, its owner's alone
// (POSIX mkdtemp, 0700; Windows a protected DACL for the user only); its UTF-8 path.
support::Result<std::string> MakeUniqueDirectory(const std::filesystem::path& dir,
                                                 const std::string& prefix);
// An anonymous read-write temporary file, gone when closed (tmpfile()).
std::FILE* AnonymousTempFile();

// Points standard output (descriptor 1) at `to`; returns what restores it, -1 on failure.
int RedirectStdout(std::FILE* to);
void RestoreStdout(int saved);

bool StderrIsTerminal();
uint64_t ProcessId();
// The running program's own file, empty when unknown.
std::string ExecutablePath();
// The command-line arguments as UTF-8 (on Windows from the UTF-16 command line, not argv, whose
// strings are in the ANSI code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace ztpack::fileops
