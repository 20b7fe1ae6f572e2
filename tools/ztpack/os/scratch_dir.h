// A private temporary directory (its owner's alone), removed with its contents when the object
// goes, and also when ztpack is interrupted (os/cleanup.h). The removal never follows a link: not
// one inside, nor one put in the directory's place.
//
// Scratch directories live in the user's own temporary directory ($TMPDIR, else /tmp; Windows
// %TEMP%), never beside an output: a folder others can write is no place for the intermediate
// files that get signed or checked.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "os/cleanup.h"
#include "os/file_ops.h"
#include "support/result.h"

namespace ztpack {

class ScratchDir {
 public:
  // Made in `beside` (empty: the system's temporary directory).
  static support::Result<std::unique_ptr<ScratchDir>> Create(const std::filesystem::path& beside,
                                                             const char* prefix) {
    std::error_code ec;
    std::filesystem::path dir = beside;
    if (dir.empty()) dir = std::filesystem::temp_directory_path(ec);
    if (dir.empty()) dir = ".";
    auto made = fileops::MakeUniqueDirectory(dir, prefix);
    if (!made) return made.takeError();
    return std::unique_ptr<ScratchDir>(new ScratchDir(fileops::U8Path(*made)));
  }
  ~ScratchDir() {
    fileops::RemoveTree(fileops::U8String(path_));
    cleanup::Unregister(cleanup_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // The UTF-8 path of `name` inside.
  std::string operator/(const std::string& name) const {
    return fileops::U8String(path_ / fileops::U8Path(name));
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  explicit ScratchDir(std::filesystem::path path)
      : path_(std::move(path)),
        cleanup_(cleanup::Register(fileops::U8String(path_), cleanup::Kind::kDirectory)) {}
  std::filesystem::path path_;
  int cleanup_ = -1;
};

}  // namespace ztpack
