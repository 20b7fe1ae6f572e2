// The platform layer on Linux, for the native builds: ztpack, the tests and the benchmarks.
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD, as the Windows conversion does.
std::string ToUtf8(const char16_t* in, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// UTF-8 to UTF-16; each malformed sequence becomes U+FFFD.
std::u16string ToUtf16(const char* in, size_t n) {
  std::u16string out;
  out.reserve(n);
  const auto* s = reinterpret_cast<const unsigned char*>(in);
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    char32_t c;
    size_t len;
    if (b < 0x80) {
      c = b;
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      c = b & 0x1F;
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      c = b & 0x0F;
      len = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      c = b & 0x07;
      len = 4;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j < len && i + j < n && (s[i + j] & 0xC0) == 0x80; ++j) c = (c << 6) | (s[i + j] & 0x3F);
    bool bad = j < len || (len == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
               (len == 4 && (c < 0x10000 || c > 0x10FFFF));
    if (bad) {
      out.push_back(static_cast<char16_t>(kReplacement));
      i += j;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += len;
  }
  return out;
}

// A UTF-16 path as the kernel wants it: UTF-8, backslashes turned into slashes.
std::string NativePath(const std::u16string& path) {
  std::string out = ToUtf8(path.data(), path.size());
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::atomic<DebugOutputHook> debugHook{nullptr};
std::atomic<void*> debugHookContext{nullptr};

std::string TraceSwitchPath() {
  const char* env = std::getenv("ZT_TRACE_SWITCH");
  return env != nullptr ? env : "/tmp/zt-trace-switch";
}

// Reads the stand-in file of the trace switch: optional lines "type: N" and "size: N", then the
// text. The size is the byte count the registry would report (by default the text's with its
// terminator); the data are the text's bytes and zero bytes up to it.
bool LoadSwitch(uint32_t* type, std::u16string* text, uint32_t* sizeBytes) {
  FILE* f = std::fopen(TraceSwitchPath().c_str(), "rb");
  if (f == nullptr) return false;
  std::string content;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && content.size() < 65536) {
    content.append(buffer, n);
  }
  std::fclose(f);
  *type = kRegSz;
  long size = -1;
  for (;;) {
    const bool isType = content.rfind("type:", 0) == 0;
    if (!isType && content.rfind("size:", 0) != 0) break;
    size_t eol = content.find('\n');
    unsigned long value = std::strtoul(content.c_str() + 5, nullptr, 10);
    if (isType) {
      *type = static_cast<uint32_t>(value);
    } else {
      size = static_cast<long>(std::min<unsigned long>(value, 65536));
    }
    content = eol == std::string::npos ? std::string() : content.substr(eol + 1);
  }
  if (!content.empty() && content.back() == '\n') content.pop_back();
  *text = ToUtf16(content.data(), content.size());
  *sizeBytes =
      size >= 0 ? static_cast<uint32_t>(size) : static_cast<uint32_t>((text->size() + 1) * 2);
  // The data hold sizeBytes bytes: whole units of the text, zeros past its end; an odd last
  // byte belongs to no whole unit.
  text->resize(*sizeBytes / 2, u'\0');
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Files

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

File File::Open(const std::u16string& path, OpenMode mode) {
  File file;
  std::string native = NativePath(path);
  int flags = mode == OpenMode::kWrite ? (O_WRONLY | O_CREAT | O_TRUNC) : O_RDONLY;
  int fd = ::open(native.c_str(), flags | O_CLOEXEC, 0755);
  if (fd < 0) return file;
  struct stat st;
  if (mode != OpenMode::kWrite && (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    ::close(fd);
    return file;
  }
  file.handle_ = fd;
  return file;
}

File File::Reopen() const {
  File file;
  if (!IsOpen()) return file;
  // The open file itself, through its descriptor's entry, with a position of its own.
  const std::string self = "/proc/self/fd/" + std::to_string(handle_);
  int fd = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) file.handle_ = fd;
  return file;
}

void File::Close() {
  if (handle_ != kInvalid) {
    ::close(handle_);
    handle_ = kInvalid;
  }
}

int64_t File::Read(void* buffer, size_t n) {
  if (!IsOpen()) return -1;
  size_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < n) {
    ssize_t r = ::read(handle_, p + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

int64_t File::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (!IsOpen()) return -1;
  size_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < n) {
    ssize_t r = ::pread(handle_, p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

int64_t File::Write(const void* buffer, size_t n) {
  if (!IsOpen()) return -1;
  size_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < n) {
    ssize_t r = ::write(handle_, p + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

int64_t File::Seek(int64_t offset, Whence whence) {
  if (!IsOpen()) return -1;
  int w = whence == Whence::kBegin ? SEEK_SET : whence == Whence::kCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(handle_, static_cast<off_t>(offset), w);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t File::Tell() { return Seek(0, Whence::kCurrent); }

int64_t File::Size() {
  if (!IsOpen()) return -1;
  struct stat st;
  if (::fstat(handle_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool File::Flush() { return IsOpen() && ::fsync(handle_) == 0; }

uint32_t GetFileAttributes(const std::u16string& path) {
  struct stat st;
  if (::lstat(NativePath(path).c_str(), &st) != 0) return kInvalidAttributes;
  uint32_t attributes = 0;
  if (S_ISLNK(st.st_mode)) {
    attributes |= kAttrReparsePoint;
    struct stat target;
    if (::stat(NativePath(path).c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
      attributes |= kAttrDirectory;
    }
  } else if (S_ISDIR(st.st_mode)) {
    attributes |= kAttrDirectory;
  }
  if (!(st.st_mode & S_IWUSR)) attributes |= kAttrReadOnly;
  return attributes;
}

bool DeleteFile(const std::u16string& path) {
  std::string native = NativePath(path);
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  // A read-only file cannot be deleted on Windows; keep that rule so clean-up behaves alike.
  if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) return false;
  return ::unlink(native.c_str()) == 0;
}

bool RenameFile(const std::u16string& from, const std::u16string& to) {
  return ::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

bool CreateDirectory(const std::u16string& path, bool restricted) {
  return ::mkdir(NativePath(path).c_str(), restricted && IsElevated() ? 0755 : 0777) == 0;
}

bool RemoveDirectory(const std::u16string& path) { return ::rmdir(NativePath(path).c_str()) == 0; }

bool RemoveLink(const std::u16string& path) {
  std::string native = NativePath(path);
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return ::unlink(native.c_str()) == 0;
  return false;
}

bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries) {
  std::string native = NativePath(dir);
  DIR* d = ::opendir(native.c_str());
  if (d == nullptr) return false;
  while (struct dirent* e = ::readdir(d)) {
    DirEntry entry;
    entry.name = ToUtf16(e->d_name, std::strlen(e->d_name));
    entry.attributes = GetFileAttributes(dir + u'\\' + entry.name);
    if (entry.attributes == kInvalidAttributes) entry.attributes = 0;
    entries->push_back(std::move(entry));
  }
  ::closedir(d);
  return true;
}

DirectoryHold DirectoryHold::Open(const std::u16string& path) {
  DirectoryHold hold;
  int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) hold.handle_ = fd;
  return hold;
}

void DirectoryHold::Close() {
  if (handle_ != kInvalid) {
    ::close(handle_);
    handle_ = kInvalid;
  }
}

bool DirectoryHold::IsNamedBy(const std::u16string& path) const {
  if (!IsOpen()) return false;
  const std::string native = NativePath(path);
  struct stat held, now;
  if (::fstat(handle_, &held) != 0 || ::stat(native.c_str(), &now) != 0) return false;
  if (held.st_dev != now.st_dev || held.st_ino != now.st_ino) return false;
  // The final paths as well, as the Windows side compares them.
  char heldPath[4096], nowPath[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(handle_);
  ssize_t n = ::readlink(self.c_str(), heldPath, sizeof heldPath - 1);
  if (n <= 0 || ::realpath(native.c_str(), nowPath) == nullptr) return false;
  heldPath[n] = '\0';
  return std::strcmp(heldPath, nowPath) == 0;
}

bool DirectoryHold::RemoveAndClose() {
  if (!IsOpen()) return false;
  // No removal by descriptor here: the directory is removed by the path the descriptor has
  // now, wherever it was moved.
  char heldPath[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(handle_);
  ssize_t n = ::readlink(self.c_str(), heldPath, sizeof heldPath - 1);
  Close();
  if (n <= 0) return false;
  heldPath[n] = '\0';
  return ::rmdir(heldPath) == 0;
}

std::u16string SystemTempPath() {
  const char* env = std::getenv("ZT_SYSTEM_TEMP");
  if (env == nullptr || *env == '\0') return TempPath();
  std::string dir = env;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return ToUtf16(dir.data(), dir.size());
}

std::u16string TempPath() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return ToUtf16(dir.data(), dir.size());
}

// ---------------------------------------------------------------------------------------------
// Time, identity, diagnostics

uint32_t TickCount() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

int64_t CalendarTime() { return static_cast<int64_t>(::time(nullptr)); }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

int Rand() { return std::rand() & 0x7FFF; }

bool SystemRandom(void* buffer, size_t n) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (n > 0) {
    ssize_t got = ::getrandom(p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

void DebugOutput(const char* text) {
  DebugOutputHook hook = debugHook.load();
  if (hook != nullptr) {
    hook(text, debugHookContext.load());
    return;
  }
  std::fputs(text, stderr);
  std::fflush(stderr);
}

void SetDebugOutputHook(DebugOutputHook hook, void* context) {
  debugHookContext.store(context);
  debugHook.store(hook);
}

SwitchQuery QueryTraceSwitch() {
  SwitchQuery query;
  uint32_t type = 0;
  uint32_t size = 0;
  std::u16string text;
  if (!LoadSwitch(&type, &text, &size)) return query;
  query.keyOpened = true;
  query.valueFound = true;
  query.type = type;
  query.sizeBytes = size;
  return query;
}

bool ReadTraceSwitch(std::u16string* text, uint32_t maxBytes) {
  uint32_t type = 0;
  uint32_t size = 0;
  if (!LoadSwitch(&type, text, &size)) return false;
  // As the registry does: a buffer smaller than the value fails the read (ERROR_MORE_DATA).
  return size <= maxBytes;
}

// ---------------------------------------------------------------------------------------------
// Processes and platform facts

bool IsWow64() {
  const char* env = std::getenv("ZT_FAKE_WOW64");
  return env != nullptr && std::strcmp(env, "1") == 0;
}

uint32_t MajorVersion() {
  const char* env = std::getenv("ZT_FAKE_MAJOR_VERSION");
  return env != nullptr ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : 10;
}

bool IsElevated() {
  const char* env = std::getenv("ZT_FAKE_ELEVATED");
  if (env != nullptr && *env != '\0') return std::strcmp(env, "1") == 0;
  return ::geteuid() == 0;
}

std::u16string OwnExecutablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::u16string();
  return ToUtf16(buffer, static_cast<size_t>(n));
}

File OpenOwnImage(const std::u16string& path) { return File::Open(path, OpenMode::kReadDenyWrite); }

std::vector<std::u16string> SplitCommandLine(const std::u16string& tail) {
  std::vector<std::u16string> args;
  if (tail.empty()) {
    args.push_back(OwnExecutablePath());
    return args;
  }
  size_t i = 0;
  const size_t n = tail.size();
  auto isBlank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  // The first token names a program: in quotes it ends at the next quote (the next argument may
  // follow at once), else at a blank; backslashes are plain characters.
  std::u16string first;
  if (tail[0] == u'"') {
    for (++i; i < n && tail[i] != u'"'; ++i) first.push_back(tail[i]);
    if (i < n) ++i;
  } else {
    for (; i < n && !isBlank(tail[i]); ++i) first.push_back(tail[i]);
  }
  args.push_back(std::move(first));
  while (i < n && isBlank(tail[i])) ++i;
  if (i >= n) return args;

  std::u16string arg;
  size_t slashes = 0;  // backslashes just copied
  int quotes = 0;      // 1 inside quotes; 2 after a quote that closed them
  while (i < n) {
    const char16_t c = tail[i];
    if (isBlank(c) && quotes == 0) {
      args.push_back(std::move(arg));
      arg.clear();
      slashes = 0;
      while (i < n && isBlank(tail[i])) ++i;
      if (i >= n) return args;
      continue;
    }
    if (c == u'\\') {
      arg.push_back(c);
      ++slashes;
      ++i;
      continue;
    }
    if (c == u'"') {
      // An even number of backslashes before it: half of them stay, the quote delimits. An odd
      // number: half stay, and the quote is a literal one.
      arg.resize(arg.size() - slashes / 2);
      if (slashes % 2 == 0) {
        ++quotes;
      } else {
        arg.back() = u'"';
      }
      slashes = 0;
      // Every third quote in a row is a literal one and leaves the quotes: inside quotes, two
      // give a literal quote and end them.
      for (++i; i < n && tail[i] == u'"'; ++i) {
        if (++quotes == 3) {
          arg.push_back(u'"');
          quotes = 0;
        }
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    arg.push_back(c);
    slashes = 0;
    ++i;
  }
  args.push_back(std::move(arg));
  return args;
}

Process::~Process() {
  if (started_ && pid_ > 0) {
    int status;
    ::waitpid(pid_, &status, WNOHANG);
  }
}

Process::Process(Process&& other) noexcept : started_(other.started_), pid_(other.pid_) {
  other.started_ = false;
  other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    started_ = other.started_;
    pid_ = other.pid_;
    other.started_ = false;
    other.pid_ = -1;
  }
  return *this;
}

Process Process::Start(const std::u16string& commandLine, const std::u16string& currentDir) {
  Process process;
  std::vector<std::u16string> split = SplitCommandLine(commandLine);
  if (split.empty() || split[0].empty()) return process;
  std::vector<std::string> args;
  args.push_back(NativePath(split[0]));
  for (size_t i = 1; i < split.size(); ++i)
    args.push_back(ToUtf8(split[i].data(), split[i].size()));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string cwd = NativePath(currentDir);

  // A pipe with close-on-exec tells the parent whether exec succeeded.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return process;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return process;
  }
  if (pid == 0) {
    ::close(fds[0]);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
      int e = errno;
      (void)!::write(fds[1], &e, sizeof e);
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    int e = errno;
    (void)!::write(fds[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(fds[1]);
  int childErrno = 0;
  ssize_t r;
  do {
    r = ::read(fds[0], &childErrno, sizeof childErrno);
  } while (r < 0 && errno == EINTR);
  ::close(fds[0]);
  if (r > 0) {
    int status;
    ::waitpid(pid, &status, 0);
    return process;
  }
  process.started_ = true;
  process.pid_ = pid;
  return process;
}

uint32_t Process::Wait() {
  if (!started_ || pid_ <= 0) return kUnknownExitCode;
  int status = 0;
  int r;
  while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  started_ = false;
  if (r < 0) return kUnknownExitCode;
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return kUnknownExitCode;
}

// ---------------------------------------------------------------------------------------------
// User interface

void ShowErrorBox(const std::u16string& text, const std::u16string& caption, void* /*owner*/) {
  std::fprintf(stderr, "%s: %s\n", ToUtf8(caption.data(), caption.size()).c_str(),
               ToUtf8(text.data(), text.size()).c_str());
}

void SetProgressPosition(void* hwndProgress, int value) {
  if (hwndProgress == nullptr) return;
  int shown = value < 0 ? 0 : value > 100 ? 100 : value;
  char bar[41];
  int filled = shown * 40 / 100;
  for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
  bar[40] = '\0';
  std::fprintf(stderr, "\rPlease Wait... [%s] %3d%%", bar, value);
  std::fflush(stderr);
}

// ---------------------------------------------------------------------------------------------
// Text conversion

int WideToUtf8Raw(const char16_t* in, int n, char* out, int outSize, bool* insufficient) {
  if (insufficient != nullptr) *insufficient = false;
  size_t len = 0;
  if (n < 0) {
    while (in[len] != 0) ++len;
    ++len;  // the terminator is converted too
  } else {
    len = static_cast<size_t>(n);
  }
  if (len == 0) return 0;
  std::string converted = ToUtf8(in, len);
  if (out == nullptr) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(outSize)) {
    if (insufficient != nullptr) *insufficient = true;
    return 0;
  }
  std::memcpy(out, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}

int Utf8ToWideRaw(const char* in, int n, char16_t* out, int outSize, bool* insufficient) {
  if (insufficient != nullptr) *insufficient = false;
  size_t len = 0;
  if (n < 0) {
    len = std::strlen(in) + 1;
  } else {
    len = static_cast<size_t>(n);
  }
  if (len == 0) return 0;
  std::u16string converted = ToUtf16(in, len);
  if (out == nullptr) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(outSize)) {
    if (insufficient != nullptr) *insufficient = true;
    return 0;
  }
  std::memcpy(out, converted.data(), converted.size() * sizeof(char16_t));
  return static_cast<int>(converted.size());
}

}  // namespace platform
