// A fresh temporary directory for one test, removed with everything in it afterwards. Includes
// testutil/files.h, the whole-file reader and writer.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "testutil/files.h"

namespace testutil {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zt-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char* made = ::mkdtemp(buffer.data());
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    // Restore write permission that a test may have taken away, then remove.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // The directory as the core takes paths: UTF-16.
  std::u16string u16() const { return path_.u16string(); }
  std::u16string u16(const std::string& name) const { return (path_ / name).u16string(); }

 private:
  std::filesystem::path path_;
};

// A core path (UTF-16, backslashes as separators) as a native path.
inline std::filesystem::path Native(const std::u16string& corePath) {
  std::u16string p = corePath;
  for (char16_t& c : p) {
    if (c == u'\\') c = u'/';
  }
  return std::filesystem::path(p);
}

}  // namespace testutil
