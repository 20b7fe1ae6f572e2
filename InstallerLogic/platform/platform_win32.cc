// The platform layer on Windows: the Windows calls the installer is built against.
//
// char16_t and wchar_t are both UTF-16 code units here, so paths pass to the W functions by a
// pointer cast, without conversion.
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::u16string FromWide(const wchar_t* s, size_t n) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}

std::atomic<DebugOutputHook> debugHook{nullptr};
std::atomic<void*> debugHookContext{nullptr};

constexpr wchar_t kSwitchKey[] = L"Software\\Quillmora";
constexpr wchar_t kSwitchValue[] = L"ZTSTR";
// Read from the 64-bit view also in the 32-bit process, where the machine setting lives.
constexpr REGSAM kSwitchAccess = KEY_READ | KEY_WOW64_64KEY;

// Full control for Administrators and SYSTEM, read and execute (0x1200a9: the RX of the file
// ACL editors) for everyone else, inherited by what is created inside. "P" protects the DACL
// from the parent's inheritable entries: the user's temporary directory grants its owner full
// control, which is what must not reach an elevated workspace. The owner of what the elevated
// process creates may be the user themselves (a policy makes the creator, not Administrators,
// the owner), and an owner may always read and change the DACL unless an OWNER RIGHTS entry
// (S-1-3-4, written as a SID: not every SDDL parser knows its alias) says what the owner may
// do: here read and execute, as everyone.
constexpr wchar_t kRestrictedDirSddl[] =
    L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)(A;OICI;0x1200a9;;;S-1-3-4)";

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
  DWORD access = GENERIC_READ;
  DWORD share = FILE_SHARE_READ;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::kRead:
      // The C runtime's "rb" and "wb" deny nothing to others but deletion.
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    case OpenMode::kReadShareAll:
      share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      break;
    case OpenMode::kReadDenyWrite: share = FILE_SHARE_READ; break;
    case OpenMode::kWrite:
      access = GENERIC_WRITE;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      disposition = CREATE_ALWAYS;
      break;
  }
  File file;
  HANDLE h =
      ::CreateFileW(W(path), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) file.handle_ = reinterpret_cast<intptr_t>(h);
  return file;
}

void File::Close() {
  if (handle_ != kInvalid) {
    ::CloseHandle(H(handle_));
    handle_ = kInvalid;
  }
}

File File::Reopen() const {
  File file;
  if (!IsOpen()) return file;
  // ReOpenFile opens the file object the handle refers to, not whatever its path names now.
  HANDLE h = ::ReOpenFile(H(handle_), GENERIC_READ, FILE_SHARE_READ, 0);
  if (h != INVALID_HANDLE_VALUE) file.handle_ = reinterpret_cast<intptr_t>(h);
  return file;
}

int64_t File::Read(void* buffer, size_t n) {
  if (!IsOpen()) return -1;
  size_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < n) {
    DWORD want = static_cast<DWORD>(n - done > 0x40000000u ? 0x40000000u : n - done);
    DWORD got = 0;
    if (!::ReadFile(H(handle_), p + done, want, &got, nullptr)) {
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

int64_t File::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (!IsOpen()) return -1;
  int64_t saved = Tell();
  if (saved < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  if (Seek(static_cast<int64_t>(offset), Whence::kBegin) < 0) return -1;
  int64_t got = Read(buffer, n);
  if (Seek(saved, Whence::kBegin) < 0) return -1;
  return got;
}

int64_t File::Write(const void* buffer, size_t n) {
  if (!IsOpen()) return -1;
  size_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < n) {
    DWORD want = static_cast<DWORD>(n - done > 0x40000000u ? 0x40000000u : n - done);
    DWORD put = 0;
    if (!::WriteFile(H(handle_), p + done, want, &put, nullptr) || put == 0) {
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    done += put;
  }
  return static_cast<int64_t>(done);
}

int64_t File::Seek(int64_t offset, Whence whence) {
  if (!IsOpen()) return -1;
  DWORD method = whence == Whence::kBegin     ? FILE_BEGIN
                 : whence == Whence::kCurrent ? FILE_CURRENT
                                              : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!::SetFilePointerEx(H(handle_), distance, &position, method)) return -1;
  return position.QuadPart;
}

int64_t File::Tell() { return Seek(0, Whence::kCurrent); }

int64_t File::Size() {
  if (!IsOpen()) return -1;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(H(handle_), &size)) return -1;
  return size.QuadPart;
}

bool File::Flush() { return IsOpen() && ::FlushFileBuffers(H(handle_)) != 0; }

uint32_t GetFileAttributes(const std::u16string& path) { return ::GetFileAttributesW(W(path)); }

bool DeleteFile(const std::u16string& path) { return ::DeleteFileW(W(path)) != 0; }

bool RenameFile(const std::u16string& from, const std::u16string& to) {
  return ::MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool CreateDirectory(const std::u16string& path, bool restricted) {
  if (!restricted || !IsElevated()) return ::CreateDirectoryW(W(path), nullptr) != 0;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kRestrictedDirSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    // Never fall back to the default security: the caller asked for a directory others
    // cannot write into, and would trust what it finds there.
    return false;
  }
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  bool created = ::CreateDirectoryW(W(path), &attributes) != 0;
  ::LocalFree(descriptor);
  return created;
}

bool RemoveDirectory(const std::u16string& path) { return ::RemoveDirectoryW(W(path)) != 0; }

bool RemoveLink(const std::u16string& path) {
  DWORD attributes = ::GetFileAttributesW(W(path));
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  // RemoveDirectoryW on a directory junction or symbolic link removes the link itself and never
  // looks inside the target; DeleteFileW does the same for a file link.
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ::RemoveDirectoryW(W(path)) != 0;
  return ::DeleteFileW(W(path)) != 0;
}

bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries) {
  std::u16string pattern = dir + u"\\*";
  WIN32_FIND_DATAW data;
  HANDLE search = ::FindFirstFileW(W(pattern), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    DirEntry entry;
    entry.name = FromWide(data.cFileName, ::wcsnlen(data.cFileName, MAX_PATH));
    entry.attributes = data.dwFileAttributes;
    entries->push_back(std::move(entry));
  } while (::FindNextFileW(search, &data));
  ::FindClose(search);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Directory holds

namespace {

// The final path of an open handle (GetFinalPathNameByHandleW, normalised, with its drive
// letter), or empty.
std::u16string FinalPath(HANDLE handle) {
  std::vector<wchar_t> buffer(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD n = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::u16string();
    if (n < buffer.size()) return FromWide(buffer.data(), n);
    buffer.resize(static_cast<size_t>(n) + 1);
  }
  return std::u16string();
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!::GetFileInformationByHandle(a, &ia) || !::GetFileInformationByHandle(b, &ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool SameTextIgnoringCase(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(W(a), static_cast<int>(a.size()), W(b), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

}  // namespace

DirectoryHold DirectoryHold::Open(const std::u16string& path) {
  DirectoryHold hold;
  // Sharing read and write but not delete keeps everyone else from deleting or renaming the
  // directory while it is held. The handle asks for listing access because an open with
  // attribute access only takes no part in sharing; it asks for no delete access itself, since
  // a process whose current directory this is (the setup program) opens it without sharing
  // delete, and would be refused. FILE_FLAG_OPEN_REPARSE_POINT opens a link in the directory's
  // place as itself, and the attribute test below then refuses it.
  HANDLE h = ::CreateFileW(W(path), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return hold;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    ::CloseHandle(h);
    return hold;
  }
  hold.handle_ = reinterpret_cast<intptr_t>(h);
  return hold;
}

void DirectoryHold::Close() {
  if (handle_ != kInvalid) {
    ::CloseHandle(H(handle_));
    handle_ = kInvalid;
  }
}

bool DirectoryHold::IsNamedBy(const std::u16string& path) const {
  if (!IsOpen()) return false;
  // The path as it resolves now, links on the way (a re-pointed %TEMP% junction) followed.
  HANDLE h = ::CreateFileW(W(path), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const std::u16string held = FinalPath(H(handle_));
  const std::u16string now = FinalPath(h);
  const bool same = SameFile(H(handle_), h) && !held.empty() && SameTextIgnoringCase(held, now);
  ::CloseHandle(h);
  return same;
}

bool DirectoryHold::RemoveAndClose() {
  if (!IsOpen()) return false;
  // The hold shares no delete access, so it is closed first; the directory is then opened
  // again by its final path (no link on the way), itself (never a link put in its place), and
  // removed through that handle only when it is the very directory that was held.
  BY_HANDLE_FILE_INFORMATION held;
  const std::u16string path = FinalPath(H(handle_));
  const bool known = ::GetFileInformationByHandle(H(handle_), &held) != 0 && !path.empty();
  Close();
  if (!known) return false;
  HANDLE h =
      ::CreateFileW(W(path), DELETE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION now;
  bool removed = false;
  if (::GetFileInformationByHandle(h, &now) &&
      !(now.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      now.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
      now.nFileIndexHigh == held.nFileIndexHigh && now.nFileIndexLow == held.nFileIndexLow) {
    // Initialised by position: <windows.h> renames the member along with the DeleteFile function.
    FILE_DISPOSITION_INFO disposition{TRUE};
    // Fails while the directory is not empty.
    removed =
        ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
  }
  ::CloseHandle(h);
  return removed;
}

std::u16string SystemTempPath() {
  wchar_t buffer[1024];
  // The system's own directory, not %SystemRoot% from the environment the user may set.
  UINT n = ::GetSystemWindowsDirectoryW(buffer, 1024);
  if (n == 0 || n >= 1024) return std::u16string();
  std::u16string path = FromWide(buffer, n);
  if (path.back() != u'\\') path += u'\\';
  return path + u"Temp\\";
}

std::u16string TempPath() {
  wchar_t buffer[1024];
  DWORD n = ::GetTempPathW(1024, buffer);
  // A result of 1024 or more is the size a longer path would need: nothing was stored, and the
  // caller falls back as for a failure rather than using a cut path.
  if (n == 0 || n >= 1024) return std::u16string();
  return FromWide(buffer, n);
}

// ---------------------------------------------------------------------------------------------
// Time, identity, diagnostics

uint32_t TickCount() { return ::GetTickCount(); }

int64_t CalendarTime() { return static_cast<int64_t>(::_time64(nullptr)); }

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

int Rand() { return std::rand(); }

// Loads cryptbase.dll from the system directory by its full path, where it exists (Windows 7
// on). advapi32's SystemFunction036 is forwarded to it, and it is no known DLL: resolving the
// forwarder would search for it by name, and where the DLL search could only be narrowed by
// SetDllDirectoryW("") (Windows 7 without the update that adds SetDefaultDllDirectories) the
// application's own folder, the download folder, comes first. A module of that name already
// loaded is the one the forwarder takes.
void LoadCryptbaseFromSystemDirectory() {
  static const bool loaded = [] {
    wchar_t directory[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring path(directory, length);
    path += L"\\cryptbase.dll";
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) != nullptr;
  }();
  (void)loaded;
}

bool SystemRandom(void* buffer, size_t n) {
  // RtlGenRandom is advapi32's SystemFunction036, which Windows forwards to cryptbase.dll: that
  // is loaded first, by its full path in the system directory, so that the forwarder finds it
  // loaded and never searches for it.
  LoadCryptbaseFromSystemDirectory();
  using GenRandomFn = BOOLEAN(WINAPI*)(PVOID buffer, ULONG length);
  HMODULE advapi = ::GetModuleHandleW(L"advapi32.dll");
  if (advapi == nullptr) return false;
  auto genRandom = reinterpret_cast<GenRandomFn>(
      reinterpret_cast<void*>(::GetProcAddress(advapi, "SystemFunction036")));
  if (genRandom == nullptr) return false;
  auto* p = static_cast<unsigned char*>(buffer);
  while (n > 0) {
    const ULONG chunk = static_cast<ULONG>(n > 0x10000u ? 0x10000u : n);
    if (!genRandom(p, chunk)) return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}

void DebugOutput(const char* text) {
  DebugOutputHook hook = debugHook.load();
  if (hook != nullptr) {
    hook(text, debugHookContext.load());
    return;
  }
  ::OutputDebugStringA(text);
}

void SetDebugOutputHook(DebugOutputHook hook, void* context) {
  debugHookContext.store(context);
  debugHook.store(hook);
}

SwitchQuery QueryTraceSwitch() {
  SwitchQuery query;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, kSwitchAccess, &key) != ERROR_SUCCESS) {
    return query;
  }
  query.keyOpened = true;
  DWORD type = 0;
  DWORD size = 0;
  if (::RegQueryValueExW(key, kSwitchValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    query.valueFound = true;
    query.type = type;
    query.sizeBytes = size;
  }
  ::RegCloseKey(key);
  return query;
}

bool ReadTraceSwitch(std::u16string* text, uint32_t maxBytes) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, kSwitchAccess, &key) != ERROR_SUCCESS) {
    return false;
  }
  // Room for maxBytes (rounded up to whole units) and one more unit that stays zero, so the
  // text is terminated whatever the registry stored. The read asks for exactly the size the
  // registry reported, odd or not. A value that grew since it was measured does not fit and
  // fails the read (ERROR_MORE_DATA) instead of being cut.
  std::vector<wchar_t> buffer(static_cast<size_t>(maxBytes) / 2 + 2, L'\0');
  DWORD type = 0;
  DWORD size = maxBytes;
  LONG rc = ::RegQueryValueExW(key, kSwitchValue, nullptr, &type,
                               reinterpret_cast<BYTE*>(buffer.data()), &size);
  ::RegCloseKey(key);
  // The type is checked again: the value may have been replaced between the two queries.
  if (rc != ERROR_SUCCESS || type != REG_SZ) return false;
  *text = FromWide(buffer.data(), ::wcsnlen(buffer.data(), buffer.size()));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Processes and platform facts

bool IsWow64() {
#ifdef _WIN64
  // A 64-bit process only runs on 64-bit Windows, where IsWow64Process reports false because
  // nothing is emulated. The question the install script asks is "64-bit Windows?", and for
  // this build the answer is always yes: the -x64 directives apply, as they do for the 32-bit
  // build under WOW64.
  return true;
#else
  BOOL wow64 = FALSE;
  return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
#endif
}

uint32_t MajorVersion() {
  OSVERSIONINFOEXW info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;  // 284 bytes
  static_assert(sizeof(OSVERSIONINFOEXW) == 284);
  if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return 0;
  return info.dwMajorVersion;
}

bool IsElevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool elevated =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated != 0;
  ::CloseHandle(token);
  return elevated;
}

std::u16string OwnExecutablePath() {
  wchar_t buffer[1024];
  DWORD n = ::GetModuleFileNameW(nullptr, buffer, 1024);
  // A full buffer means the path was cut; a cut path names some other file.
  if (n == 0 || n >= 1024) return std::u16string();
  return FromWide(buffer, n);
}

namespace {

// True when `file` is the file the running program was loaded from: a view of it and the
// program's own image are views of one file.
bool IsRunningImage(HANDLE file) {
  using SameFn = LONG(NTAPI*)(PVOID image, PVOID view);
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  auto sameFile = ntdll == nullptr ? nullptr
                                   : reinterpret_cast<SameFn>(reinterpret_cast<void*>(
                                         ::GetProcAddress(ntdll, "NtAreMappedFilesTheSame")));
  if (sameFile == nullptr) return false;
  HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 1);
  const bool same = view != nullptr && sameFile(::GetModuleHandleW(nullptr), view) == 0;
  if (view != nullptr) ::UnmapViewOfFile(view);
  ::CloseHandle(mapping);
  return same;
}

}  // namespace

File OpenOwnImage(const std::u16string& path) {
  // Sharing read only: from now on nobody writes, deletes or renames the file, so the check
  // below stays true for as long as the handle is held.
  File file = File::Open(path, OpenMode::kReadDenyWrite);
  if (file.IsOpen() && !IsRunningImage(H(file.handle_))) file.Close();
  return file;
}

std::vector<std::u16string> SplitCommandLine(const std::u16string& tail) {
  std::vector<std::u16string> args;
  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(W(tail), &count);
  if (argv == nullptr) return args;
  for (int i = 0; i < count; ++i) args.push_back(FromWide(argv[i], ::wcslen(argv[i])));
  ::LocalFree(argv);
  return args;
}

Process::~Process() {
  if (handle_ != nullptr) ::CloseHandle(handle_);
}

Process::Process(Process&& other) noexcept : started_(other.started_), handle_(other.handle_) {
  other.started_ = false;
  other.handle_ = nullptr;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    started_ = other.started_;
    handle_ = other.handle_;
    other.started_ = false;
    other.handle_ = nullptr;
  }
  return *this;
}

Process Process::Start(const std::u16string& commandLine, const std::u16string& currentDir) {
  Process process;
  // CreateProcessW may write into the command line, so it gets its own zero-terminated copy.
  std::vector<wchar_t> line(commandLine.size() + 1, L'\0');
  std::memcpy(line.data(), commandLine.data(), commandLine.size() * sizeof(wchar_t));
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;  // 68 bytes
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        currentDir.empty() ? nullptr : W(currentDir), &startup, &info)) {
    return process;
  }
  ::CloseHandle(info.hThread);
  process.handle_ = info.hProcess;
  process.started_ = true;
  return process;
}

uint32_t Process::Wait() {
  if (!started_ || handle_ == nullptr) return kUnknownExitCode;
  DWORD code = kUnknownExitCode;
  if (::WaitForSingleObject(handle_, INFINITE) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(handle_, &code)) {
    code = kUnknownExitCode;
  }
  ::CloseHandle(handle_);
  handle_ = nullptr;
  started_ = false;
  return code;
}

// ---------------------------------------------------------------------------------------------
// User interface

void ShowErrorBox(const std::u16string& text, const std::u16string& caption, void* owner) {
  // Owned by the topmost progress window (when there is one), the box stays above it; topmost
  // and foreground as well, so that it is seen even where the owner is gone or hidden.
  ::MessageBoxW(static_cast<HWND>(owner), W(text), W(caption),
                MB_OK | MB_ICONEXCLAMATION | MB_TOPMOST | MB_SETFOREGROUND);
}

void SetProgressPosition(void* hwndProgress, int value) {
  if (hwndProgress == nullptr) return;
  constexpr UINT kSetPosition = WM_USER + 2;  // PBM_SETPOS, 0x402
  ::SendMessageW(static_cast<HWND>(hwndProgress), kSetPosition, static_cast<WPARAM>(value), 0);
}

// ---------------------------------------------------------------------------------------------
// Text conversion

int WideToUtf8Raw(const char16_t* in, int n, char* out, int outSize, bool* insufficient) {
  if (insufficient != nullptr) *insufficient = false;
  int count = ::WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const wchar_t*>(in), n, out,
                                    out != nullptr ? outSize : 0, nullptr, nullptr);
  if (count == 0 && insufficient != nullptr && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    *insufficient = true;
  }
  return count;
}

int Utf8ToWideRaw(const char* in, int n, char16_t* out, int outSize, bool* insufficient) {
  if (insufficient != nullptr) *insufficient = false;
  int count = ::MultiByteToWideChar(CP_UTF8, 0, in, n, reinterpret_cast<wchar_t*>(out),
                                    out != nullptr ? outSize : 0);
  if (count == 0 && insufficient != nullptr && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    *insufficient = true;
  }
  return count;
}

}  // namespace platform
