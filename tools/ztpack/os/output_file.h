// An output file written beside its target and renamed over it only when complete, so that a
// failure never leaves a half-written file under the target's name (the target, if it exists,
// stays as it was until the rename).
//
// This is the one way ztpack creates a file. Whoever can write the target's directory could
// otherwise have put something at the temporary name first: a link that sends the bytes (a
// private key) into a file of theirs, or a world-writable file of their own that ztpack would
// fill and rename into place. So the temporary name has a random part, the file is created new
// (never through a link, never a file that exists; close-on-exec), a name taken is retried with
// another, and a private key is its owner's alone from the first byte. Whatever is read back
// while the file is being written is read through the file written, never by its name (see
// ReadBackName); Commit makes sure the target ends up naming that very file. An interrupted
// ztpack removes the temporary file (os/cleanup.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "os/file_ops.h"
#include "support/result.h"

namespace ztpack {

class OutputFile {
 public:
  enum class Access { kPublic, kSecret };
  // Creates "<target>.tmp-<16 random hex digits>" in the target's directory (same file system,
  // so the final rename is atomic). kSecret: readable and writable by the owner only, also once
  // renamed.
  static support::Result<std::unique_ptr<OutputFile>> Create(const std::string& target,
                                                             Access access = Access::kPublic);
  ~OutputFile();  // removes the temporary file unless Commit() succeeded
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Appends at the end.
  support::Status Write(const void* data, size_t length);
  support::Status WriteZeros(uint64_t length);
  // Overwrites bytes already written (header fields patched after the body is known).
  support::Status WriteAt(uint64_t offset, const void* data, size_t length);
  // Reads back bytes already written; returns the count read (short only at the end).
  support::Result<size_t> ReadAt(uint64_t offset, void* data, size_t length);
  uint64_t size() const { return size_; }
  const std::string& target() const { return target_; }
  // The temporary name (tests replace what it names to play an attacker).
  const std::string& temp() const { return temp_; }
  // A UTF-8 name under which readers that take a path (the installer's own) open this file
  // itself, not whatever the temporary name holds by then. Valid until Commit.
  std::string ReadBackName() const { return file_.ReadBackName(temp_); }

  // Flushes to disk and renames onto the target, then closes. A public file takes the target's
  // permission bits when it replaces a regular file (an executable stays executable). Fails,
  // leaving no file of its own under the target's name, when the temporary name was made to
  // name another file meanwhile.
  support::Status Commit();

 private:
  OutputFile(std::string target, std::string temp, fileops::RawFile file, Access access);
  std::string target_;
  std::string temp_;
  fileops::RawFile file_;
  Access access_;
  uint64_t size_ = 0;
  bool committed_ = false;
  int cleanup_ = -1;  // the temporary file's registration (os/cleanup.h)
};

// A whole file from memory, through OutputFile.
support::Status WriteOutputFile(const std::string& path, std::string_view data,
                                OutputFile::Access access = OutputFile::Access::kPublic);

}  // namespace ztpack
