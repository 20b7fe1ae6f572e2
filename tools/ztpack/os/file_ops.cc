// The parts of file_ops.h that std::filesystem and the C library give on every platform.
#include "os/file_ops.h"

#include <algorithm>
#include <memory>

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

int64_t RawFile::ReadFullyAt(uint64_t offset, void* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const int64_t n = ReadAt(offset + done, static_cast<uint8_t*>(data) + done, length - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

support::Result<std::string> ReadWholeFile(const std::string& path, uint64_t limit) {
  RawFile in = RawFile::Open(path, RawFile::Mode::kRead);
  if (!in.IsOpen()) {
    return support::Errorf("%s: cannot open for reading: %s", path.c_str(),
                           LastErrorText().c_str());
  }
  auto size = in.RegularSize();
  if (!size) return support::Errorf("%s: %s", path.c_str(), size.error().c_str());
  if (*size > limit) {
    return support::Errorf("%s: %llu bytes, more than the %llu this file can have", path.c_str(),
                           static_cast<unsigned long long>(*size),
                           static_cast<unsigned long long>(limit));
  }
  std::string data(static_cast<size_t>(*size), '\0');
  const int64_t got = in.ReadFullyAt(0, data.data(), data.size());
  if (got < 0) {
    return support::Errorf("%s: read failed: %s", path.c_str(), LastErrorText().c_str());
  }
  // A file that grew meanwhile is read as it was when its size was taken; one that shrank, as
  // far as it goes.
  data.resize(static_cast<size_t>(got));
  return data;
}

support::Status StreamFile(const std::string& path, uint64_t offset, uint64_t length,
                           const std::function<support::Status(const uint8_t*, size_t)>& consume) {
  RawFile in = RawFile::Open(path, RawFile::Mode::kRead);
  if (!in.IsOpen()) return support::Errorf("%s: %s", path.c_str(), LastErrorText().c_str());
  constexpr size_t kPiece = 1 << 20;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPiece]);
  uint64_t done = 0;
  while (done < length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, kPiece));
    const int64_t r = in.ReadAt(offset + done, buffer.get(), want);
    if (r < 0) {
      return support::Errorf("%s: read at 0x%llx failed: %s", path.c_str(),
                             static_cast<unsigned long long>(offset + done),
                             LastErrorText().c_str());
    }
    if (r == 0) {
      return support::Errorf("%s: file ended at 0x%llx, 0x%llx bytes short (did it change?)",
                             path.c_str(), static_cast<unsigned long long>(offset + done),
                             static_cast<unsigned long long>(length - done));
    }
    if (auto status = consume(buffer.get(), static_cast<size_t>(r)); !status) return status;
    done += static_cast<uint64_t>(r);
  }
  return {};
}

}  // namespace ztpack::fileops
