// file_ops.h for Linux and other POSIX systems.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/file_ops.h"

namespace ztpack::fileops {
namespace {

thread_local std::string lastError;

void NoteErrno() { lastError = std::strerror(errno); }

}  // namespace

std::string LastErrorText() { return lastError; }

RawFile::~RawFile() {
  if (handle_ != kInvalid) ::close(static_cast<int>(handle_));
}

RawFile::RawFile(RawFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }

RawFile& RawFile::operator=(RawFile&& other) noexcept {
  if (this != &other) {
    if (handle_ != kInvalid) ::close(static_cast<int>(handle_));
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

RawFile RawFile::Open(const std::string& path, Mode mode, bool* exists) {
  int flags = O_CLOEXEC;
  mode_t permissions = 0644;
  switch (mode) {
    case Mode::kRead: flags |= O_RDONLY; break;
    case Mode::kReadNoFollow:
    case Mode::kReadHeld: flags |= O_RDONLY | O_NOFOLLOW | O_NONBLOCK; break;
    // O_EXCL fails on any name that exists, a link too (even one pointing nowhere); O_NOFOLLOW
    // says so once more.
    case Mode::kCreateExclusive: flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case Mode::kCreateExclusiveSecret:
      flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
      permissions = 0600;
      break;
  }
  RawFile file;
  const int fd = ::open(path.c_str(), flags, permissions);
  if (exists != nullptr) *exists = fd < 0 && errno == EEXIST;
  if (fd < 0) {
    if (errno == ELOOP && (mode == Mode::kReadNoFollow || mode == Mode::kReadHeld)) {
      lastError = "it is a symbolic link, which is not followed";
    } else {
      NoteErrno();
    }
    return file;
  }
  file.handle_ = fd;
  return file;
}

support::Result<FileId> RawFile::Identity() const {
  struct stat st;
  if (::fstat(static_cast<int>(handle_), &st) != 0) return support::Error{std::strerror(errno)};
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

support::Result<FileId> IdentityOf(const std::string& path, bool followLinks) {
  struct stat st;
  if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    return support::Error{std::strerror(errno)};
  }
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

int64_t RawFile::ReadAt(uint64_t offset, void* data, size_t length) {
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(handle_), data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) NoteErrno();
    return n;
  }
}

support::Result<uint64_t> RawFile::RegularSize() const {
  struct stat st;
  if (::fstat(static_cast<int>(handle_), &st) != 0) return support::Error{std::strerror(errno)};
  if (!S_ISREG(st.st_mode)) return support::Error{kNotRegularFile};
  return static_cast<uint64_t>(st.st_size);
}

int64_t RawFile::WriteAt(uint64_t offset, const void* data, size_t length) {
  for (;;) {
    const ssize_t n = ::pwrite(static_cast<int>(handle_), data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) NoteErrno();
    return n;
  }
}

bool RawFile::TakePermissionsOf(const std::string& target) {
  struct stat st;
  mode_t mode = 0644;
  // lstat: a link at the target's name is replaced, and lends no bits (its own are 0777).
  if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
  if (::fchmod(static_cast<int>(handle_), mode) == 0) return true;
  NoteErrno();
  return false;
}

bool RawFile::Sync() {
  if (::fsync(static_cast<int>(handle_)) == 0) return true;
  NoteErrno();
  return false;
}

bool RawFile::Close() {
  if (handle_ == kInvalid) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = kInvalid;
  if (::close(fd) == 0) return true;
  NoteErrno();
  return false;
}

std::string RawFile::ReadBackName(const std::string&) const {
  return "/proc/self/fd/" + std::to_string(handle_);
}

bool RawFile::IsNamedBy(const std::string& path) const {
  struct stat held, named;
  if (::fstat(static_cast<int>(handle_), &held) != 0 || ::lstat(path.c_str(), &named) != 0) {
    NoteErrno();
    return false;
  }
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// rename() moves whatever the name holds: the caller checks afterwards that the target names
// this file.
bool RawFile::MoveTo(const std::string& from, const std::string& to) {
  if (!IsNamedBy(from)) {
    lastError = from + " no longer names the file written";
    return false;
  }
  return RenameOnto(from, to);
}

bool RenameOnto(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  NoteErrno();
  return false;
}

bool RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return true;
  NoteErrno();
  return false;
}

bool IsLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// std::filesystem::remove_all removes links as links here (it looks at each entry with lstat).
void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

support::Result<std::string> MakeUniqueDirectory(const std::filesystem::path& dir,
                                                 const std::string& prefix) {
  std::string pattern = (dir / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    return support::Errorf("%s: cannot create a temporary directory: %s", dir.string().c_str(),
                           std::strerror(errno));
  }
  return pattern;
}

std::FILE* AnonymousTempFile() {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) NoteErrno();
  return file;
}

int RedirectStdout(std::FILE* to) {
  const int saved = ::dup(1);
  if (saved < 0) return -1;
  if (::dup2(::fileno(to), 1) < 0) {
    ::close(saved);
    return -1;
  }
  return saved;
}

void RestoreStdout(int saved) {
  if (saved < 0) return;
  ::dup2(saved, 1);
  ::close(saved);
}

bool StderrIsTerminal() { return ::isatty(2) != 0; }

uint64_t ProcessId() { return static_cast<uint64_t>(::getpid()); }

std::string ExecutablePath() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace ztpack::fileops
