// The parts of file_ops.h that std::filesystem and the C library give on every platform.
#include "os/file_ops.h"

namespace ztpack::fileops {
namespace fs = std::filesystem;

// A char8_t string is UTF-8 to std::filesystem everywhere (on POSIX it is taken as it is).
fs::path U8Path(std::string_view utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string U8String(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string U8GenericString(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

support::Result<uint64_t> RegularFileSize(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(U8Path(path), ec);
  if (ec) return support::Error{ec.message()};
  if (!fs::is_regular_file(status)) return support::Error{kNotRegularFile};
  const uintmax_t size = fs::file_size(U8Path(path), ec);
  if (ec) return support::Error{ec.message()};
  return static_cast<uint64_t>(size);
}

}  // namespace ztpack::fileops
