// file_ops.h for Windows: UTF-16 paths to the W calls, handles instead of descriptors.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <shellapi.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "os/file_ops.h"
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

// A security descriptor granting the user running ztpack full control and nobody else
// anything: a protected DACL, so the folder's inheritable entries do not apply. `inherit`: for
// a directory, whose files and subdirectories get the same. Null (the error noted) when the
// user cannot be found.
struct LocalFreer {
  void operator()(void* p) const { ::LocalFree(p); }
};
using OwnedDescriptor = std::unique_ptr<void, LocalFreer>;

OwnedDescriptor OwnerOnlyDescriptor(bool inherit) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    NoteLastError();
    return nullptr;
  }
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<uint8_t> buffer(size);
  wchar_t* sid = nullptr;
  const bool ok =
      size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid);
  if (!ok) NoteLastError();
  ::CloseHandle(token);
  if (!ok) return nullptr;
  const std::wstring sddl =
      std::wstring(L"D:P(A;") + (inherit ? L"OICI" : L"") + L";FA;;;" + sid + L")";
  ::LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    NoteLastError();
    return nullptr;
  }
  return OwnedDescriptor(descriptor);
}

bool FileIdentity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  if (::GetFileInformationByHandle(handle, info)) return true;
  NoteLastError();
  return false;
}

}  // namespace

std::string LastErrorText() { return lastError; }

support::Result<uint64_t> RawFile::RegularSize() const {
  const HANDLE handle = AsHandle(handle_);
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) {
    NoteLastError();
    return support::Error{lastError};
  }
  if (::GetFileType(handle) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
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
  // Others may read, write and delete an input meanwhile, as they may on POSIX. A file being
  // written is shared for reading only: nobody else writes, renames or deletes it while it is
  // open. It is opened with DELETE access to be renamed through its handle (MoveTo).
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  OwnedDescriptor secret;
  SECURITY_ATTRIBUTES attributes = {};
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  switch (mode) {
    case Mode::kRead: break;
    case Mode::kReadHeld: share = FILE_SHARE_READ; [[fallthrough]];
    case Mode::kReadNoFollow:
      // The name itself is opened, a link too, and refused below.
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;
      break;
    case Mode::kCreateExclusiveSecret:
      secret = OwnerOnlyDescriptor(false);
      if (!secret) {
        if (exists != nullptr) *exists = false;
        return RawFile();
      }
      attributes.nLength = sizeof attributes;
      attributes.lpSecurityDescriptor = secret.get();
      [[fallthrough]];
    case Mode::kCreateExclusive:
      // CREATE_NEW fails on any name that exists, a link too.
      access = GENERIC_READ | GENERIC_WRITE | DELETE;
      disposition = CREATE_NEW;
      share = FILE_SHARE_READ;
      break;
  }
  RawFile file;
  const HANDLE handle = ::CreateFileW(Wide(path).c_str(), access, share,
                                      secret ? &attributes : nullptr, disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (exists != nullptr) *exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    NoteLastError();
    return file;
  }
  if (exists != nullptr) *exists = false;
  if (flags & FILE_FLAG_OPEN_REPARSE_POINT) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!FileIdentity(handle, &info)) {
      ::CloseHandle(handle);
      return file;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      ::CloseHandle(handle);
      lastError = "it is a symbolic link or junction, which is not followed";
      return file;
    }
  }
  file.handle_ = reinterpret_cast<intptr_t>(handle);
  return file;
}

support::Result<FileId> RawFile::Identity() const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!FileIdentity(AsHandle(handle_), &info)) return support::Error{lastError};
  return FileId{info.dwVolumeSerialNumber,
                (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

support::Result<FileId> IdentityOf(const std::string& path, bool followLinks) {
  // No access asked (attributes only), so the sharing of other handles does not stand in the way.
  const HANDLE named = ::CreateFileW(
      Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
      nullptr);
  if (named == INVALID_HANDLE_VALUE) {
    NoteLastError();
    return support::Error{lastError};
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = FileIdentity(named, &info);
  ::CloseHandle(named);
  if (!ok) return support::Error{lastError};
  return FileId{info.dwVolumeSerialNumber,
                (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
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

// Nobody can rename or delete the file while it is open without FILE_SHARE_DELETE.
std::string RawFile::ReadBackName(const std::string& path) const { return path; }

bool RawFile::IsNamedBy(const std::string& path) const {
  // No access asked (attributes only), so the sharing of other handles does not stand in the
  // way; a link at the name is opened itself.
  const HANDLE named = ::CreateFileW(
      Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE) {
    NoteLastError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION held, now;
  const bool same = FileIdentity(AsHandle(handle_), &held) && FileIdentity(named, &now) &&
                    held.dwVolumeSerialNumber == now.dwVolumeSerialNumber &&
                    held.nFileIndexHigh == now.nFileIndexHigh &&
                    held.nFileIndexLow == now.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

// Renamed through the handle (FileRenameInfo), so the file written is what gets the name, and
// not whatever `from` names. The new name goes to the kernel as an NT path.
bool RawFile::MoveTo(const std::string&, const std::string& to) {
  const std::wstring target = Wide(to);
  const DWORD n = ::GetFullPathNameW(target.c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  if (n == 0 || ::GetFullPathNameW(target.c_str(), n, full.data(), nullptr) >= n) {
    NoteLastError();
    return false;
  }
  full.resize(std::wcslen(full.c_str()));
  std::wstring nt;
  if (full.rfind(L"\\\\?\\", 0) == 0) {
    nt = L"\\??\\" + full.substr(4);
  } else if (full.rfind(L"\\\\", 0) == 0) {
    nt = L"\\??\\UNC\\" + full.substr(2);
  } else {
    nt = L"\\??\\" + full;
  }
  const size_t bytes = sizeof(FILE_RENAME_INFO) + nt.size() * sizeof(wchar_t);
  std::vector<uint8_t> buffer(bytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nt.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, nt.data(), info->FileNameLength);
  if (::SetFileInformationByHandle(AsHandle(handle_), FileRenameInfo, info,
                                   static_cast<DWORD>(bytes))) {
    return true;
  }
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

bool IsLink(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

namespace {

// A link is removed itself: RemoveDirectoryW on a directory junction or symbolic link, and
// DeleteFileW on a file link, never look at the target.
void RemoveEntry(const std::wstring& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::DeleteFileW(path.c_str());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        RemoveEntry(path + L"\\" + name, data.dwFileAttributes);
      } while (::FindNextFileW(search, &data));
      ::FindClose(search);
    }
  }
  ::RemoveDirectoryW(path.c_str());
}

}  // namespace

void RemoveTree(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) RemoveEntry(wide, attributes);
}

// CreateDirectoryW fails when the name exists, so a name is never shared; a taken one is
// retried with another random suffix. The new directory is the user's alone, whatever the
// folder it is made in lets others do.
support::Result<std::string> MakeUniqueDirectory(const std::filesystem::path& dir,
                                                 const std::string& prefix) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  OwnedDescriptor descriptor = OwnerOnlyDescriptor(true);
  if (!descriptor) {
    return support::Errorf("%s: cannot make a private temporary directory: %s",
                           U8String(dir).c_str(), lastError.c_str());
  }
  SECURITY_ATTRIBUTES attributes = {};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor.get();
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    const std::string path = U8String(dir / U8Path(name));
    if (::CreateDirectoryW(Wide(path).c_str(), &attributes)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      NoteLastError();
      return support::Errorf("%s: cannot create a temporary directory: %s", U8String(dir).c_str(),
                             lastError.c_str());
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
