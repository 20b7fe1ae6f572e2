// A private temporary directory (its owner's alone), removed with its contents when the object
// goes. The removal never follows a link: not one inside, nor one put in the directory's place.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

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
    if (!made) return support::Error{made.error()};
    return std::unique_ptr<ScratchDir>(new ScratchDir(fileops::U8Path(*made)));
  }
  ~ScratchDir() { fileops::RemoveTree(fileops::U8String(path_)); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // The UTF-8 path of `name` inside.
  std::string operator/(const std::string& name) const {
    return fileops::U8String(path_ / fileops::U8Path(name));
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  explicit ScratchDir(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

}  // namespace ztpack
