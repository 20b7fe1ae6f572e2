#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ztpack {

support::Result<std::unique_ptr<OutputFile>> OutputFile::Create(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = target + ".tmp-" + std::to_string(::getpid()) + "-" +
                       std::to_string(counter.fetch_add(1));
    // O_EXCL: never write into a file someone else made under the temporary name.
    int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) return std::unique_ptr<OutputFile>(new OutputFile(target, temp, fd));
    if (errno != EEXIST) {
      return support::Errorf("%s: cannot create %s: %s", target.c_str(), temp.c_str(),
                             std::strerror(errno));
    }
  }
  return support::Errorf("%s: cannot find a free temporary name beside it", target.c_str());
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_.c_str());
}

support::Status OutputFile::Write(const void* data, size_t length) {
  support::Status status = WriteAt(size_, data, length);
  return status;
}

support::Status OutputFile::WriteZeros(uint64_t length) {
  static const std::vector<uint8_t> zeros(65536, 0);
  while (length > 0) {
    size_t n = length < zeros.size() ? static_cast<size_t>(length) : zeros.size();
    support::Status status = Write(zeros.data(), n);
    if (!status) return status;
    length -= n;
  }
  return {};
}

support::Status OutputFile::WriteAt(uint64_t offset, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    ssize_t r = ::pwrite(fd_, p + done, length - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      return support::Errorf("%s: writing %zu bytes at 0x%llx failed: %s", target_.c_str(),
                             length, static_cast<unsigned long long>(offset + done),
                             r < 0 ? std::strerror(errno) : "nothing written");
    }
    done += static_cast<size_t>(r);
  }
  if (offset + length > size_) size_ = offset + length;
  return {};
}

support::Result<size_t> OutputFile::ReadAt(uint64_t offset, void* data, size_t length) {
  auto* p = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    ssize_t r = ::pread(fd_, p + done, length - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      return support::Errorf("%s: reading back at 0x%llx failed: %s", target_.c_str(),
                             static_cast<unsigned long long>(offset + done), std::strerror(errno));
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

support::Status OutputFile::Commit() {
  if (committed_ || fd_ < 0) return support::Errorf("%s: output already finished", target_.c_str());
  struct stat st;
  mode_t mode = 0644;
  if (::stat(target_.c_str(), &st) == 0) mode = st.st_mode & 07777;
  if (::fchmod(fd_, mode) != 0 || ::fsync(fd_) != 0) {
    return support::Errorf("%s: finishing %s failed: %s", target_.c_str(), temp_.c_str(),
                           std::strerror(errno));
  }
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    return support::Errorf("%s: closing %s failed: %s", target_.c_str(), temp_.c_str(),
                           std::strerror(errno));
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    return support::Errorf("%s: renaming %s onto it failed: %s", target_.c_str(), temp_.c_str(),
                           std::strerror(errno));
  }
  committed_ = true;
  return {};
}

}  // namespace ztpack
