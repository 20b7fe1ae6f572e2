// An output file written beside its target and renamed over it only when complete, so that a
// failure never leaves a half-written file under the target's name (the target, if it exists,
// stays as it was until the rename).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "file_ops.h"
#include "support/result.h"

namespace ztpack {

class OutputFile {
 public:
  // Creates "<target>.tmp-<pid>-<n>" in the target's directory (same file system, so the final
  // rename is atomic).
  static support::Result<std::unique_ptr<OutputFile>> Create(const std::string& target);
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

  // Flushes to disk, closes and renames onto the target. Keeps the target's permission bits
  // when it replaces an existing file (an executable stays executable).
  support::Status Commit();

 private:
  OutputFile(std::string target, std::string temp, fileops::RawFile file)
      : target_(std::move(target)), temp_(std::move(temp)), file_(std::move(file)) {}
  std::string target_;
  std::string temp_;
  fileops::RawFile file_;
  uint64_t size_ = 0;
  bool committed_ = false;
};

}  // namespace ztpack
