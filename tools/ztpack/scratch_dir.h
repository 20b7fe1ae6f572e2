// A private temporary directory, removed with its contents when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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
    std::string pattern = (dir / (std::string(prefix) + "XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
      return support::Errorf("%s: cannot create a temporary directory", dir.string().c_str());
    }
    return std::unique_ptr<ScratchDir>(new ScratchDir(buffer.data()));
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  explicit ScratchDir(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

}  // namespace ztpack
