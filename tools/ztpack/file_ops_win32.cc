// file_ops.h for Windows: UTF-16 paths to the W calls, handles instead of descriptors.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "file_ops.h"
#include "support/text.h"

namespace ztpack::fileops {
namespace {

thread_local std::string lastError;

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = support::Utf8ToWide(utf8, true);
  return std::wstring(text.begin(), text.end());
}

std::string Narrow(const wchar_t* text, size_t length) {
  return support::WideToUtf8(std::u16string(text, text + length), true);
}

void NoteErrno() { lastError = std::strerror(errno); }

void NoteLastError() {
  const DWORD code = ::GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n > 0 ? Narrow(text, n) : std::string();
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  lastError = (message.empty() ? "error" : message) + " (" + std::to_string(code) + ")";
}

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// ReadFile and WriteFile take 32-bit lengths.
constexpr size_t kMaxTransfer = 1u << 30;

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

}  // namespace

std::string LastErrorText() { return lastError; }

std::FILE* OpenStdio(const std::string& path, const char* mode) {
  std::FILE* file = ::_wfopen(Wide(path).c_str(), Wide(mode).c_str());
  if (file == nullptr) NoteErrno();
  return file;
}

bool SeekStdio(std::FILE* file, uint64_t offset) {
  if (::_fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0) return true;
  NoteErrno();
  return false;
}

support::Result<uint64_t> RegularFileSize(std::FILE* open) {
  const HANDLE handle = AsHandle(::_get_osfhandle(::_fileno(open)));
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info)) {
    NoteLastError();
    return support::Error{lastError};
  }
  if (::GetFileType(handle) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return support::Error{kNotRegularFile};
  }
  return (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

RawFile::~RawFile() {
  if (handle_ != kInvalid) ::CloseHandle(AsHandle(handle_));
}

RawFile::RawFile(RawFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }

RawFile& RawFile::operator=(RawFile&& other) noexcept {
  if (this != &other) {
    if (handle_ != kInvalid) ::CloseHandle(AsHandle(handle_));
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

RawFile RawFile::Open(const std::string& path, Mode mode, bool* exists) {
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
  // Others may read, write and delete an input meanwhile, as they may on POSIX; a file being
  // written is shared for reading only.
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  switch (mode) {
    case Mode::kRead: break;
    case Mode::kCreateExclusive:
      access = GENERIC_READ | GENERIC_WRITE;
      disposition = CREATE_NEW;
      share = FILE_SHARE_READ;
      break;
    case Mode::kCreate:
    // A secret key file gets no bits of its own here: a new file takes the access rules of the
    // directory it is made in, which for the keys of a release is ordinarily inside the user's
    // own profile, readable by that user (and administrators) only.
    case Mode::kCreateSecret:
      access = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      share = FILE_SHARE_READ;
      break;
  }
  RawFile file;
  const HANDLE handle = ::CreateFileW(Wide(path).c_str(), access, share, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (exists != nullptr) *exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    NoteLastError();
    return file;
  }
  if (exists != nullptr) *exists = false;
  file.handle_ = reinterpret_cast<intptr_t>(handle);
  return file;
}

int64_t RawFile::ReadAt(uint64_t offset, void* data, size_t length) {
  OVERLAPPED overlapped = At(offset);
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(length < kMaxTransfer ? length : kMaxTransfer);
  if (!::ReadFile(AsHandle(handle_), data, want, &got, &overlapped)) {
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    NoteLastError();
    return -1;
  }
  return got;
}

int64_t RawFile::WriteAt(uint64_t offset, const void* data, size_t length) {
  OVERLAPPED overlapped = At(offset);
  DWORD put = 0;
  const DWORD want = static_cast<DWORD>(length < kMaxTransfer ? length : kMaxTransfer);
  if (!::WriteFile(AsHandle(handle_), data, want, &put, &overlapped)) {
    NoteLastError();
    return -1;
  }
  return put;
}

// Windows files carry no permission bits of this kind; the replacement takes the directory's
// access rules as any new file does.
bool RawFile::TakePermissionsOf(const std::string&) { return true; }

bool RawFile::Sync() {
  if (::FlushFileBuffers(AsHandle(handle_))) return true;
  NoteLastError();
  return false;
}

bool RawFile::Close() {
  if (handle_ == kInvalid) return true;
  const HANDLE handle = AsHandle(handle_);
  handle_ = kInvalid;
  if (::CloseHandle(handle)) return true;
  NoteLastError();
  return false;
}

// rename() of the C runtime refuses an existing target here; MoveFileExW replaces it.
bool RenameOnto(const std::string& from, const std::string& to) {
  if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  NoteLastError();
  return false;
}

bool RemoveFile(const std::string& path) {
  if (::DeleteFileW(Wide(path).c_str())) return true;
  NoteLastError();
  return false;
}

// CreateDirectoryW fails when the name exists, so a name is never shared; a taken one is
// retried with another random suffix.
support::Result<std::string> MakeUniqueDirectory(const std::filesystem::path& dir,
                                                 const std::string& prefix) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    const std::string path = U8String(dir / U8Path(name));
    if (::CreateDirectoryW(Wide(path).c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      NoteLastError();
      return support::Errorf("%s: cannot create a temporary directory: %s",
                             U8String(dir).c_str(), lastError.c_str());
    }
  }
  return support::Errorf("%s: cannot find a free name for a temporary directory",
                         U8String(dir).c_str());
}

// The C runtime's tmpfile() makes its file in the root of the current drive, where a user may
// not create files; this one goes to the user's temporary directory.
std::FILE* AnonymousTempFile() {
  static std::atomic<unsigned> counter{0};
  wchar_t base[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) {
    NoteLastError();
    return nullptr;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = std::wstring(base, n) + L"ztpack-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter.fetch_add(1)) + L".tmp";
    const HANDLE handle = ::CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      NoteLastError();
      return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
      ::CloseHandle(handle);
      NoteErrno();
      return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "w+b");
    if (file == nullptr) {
      NoteErrno();
      ::_close(fd);
    }
    return file;
  }
  return nullptr;
}

int RedirectStdout(std::FILE* to) {
  const int saved = ::_dup(1);
  if (saved < 0) return -1;
  if (::_dup2(::_fileno(to), 1) != 0) {
    ::_close(saved);
    return -1;
  }
  return saved;
}

void RestoreStdout(int saved) {
  if (saved < 0) return;
  ::_dup2(saved, 1);
  ::_close(saved);
}

// Progress lines are redrawn with "\r" and the VT sequence that clears the rest of the line: a
// console that takes no VT sequences (before Windows 10) gets no progress rather than garbage.
// GetConsoleMode also tells a console from the NUL device, which _isatty counts as a terminal.
bool StderrIsTerminal() {
  if (!::_isatty(::_fileno(stderr))) return false;
  const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!::GetConsoleMode(console, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

uint64_t ProcessId() { return ::GetCurrentProcessId(); }

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return Narrow(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Narrow(wide[i], std::wcslen(wide[i])));
  ::LocalFree(wide);
  return arguments;
}

}  // namespace ztpack::fileops
