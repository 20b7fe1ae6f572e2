// The platform layer: exactly the operating-system services that the installer core needs.
//
// The core (container, bundle, verify, support) and the installation worker never include
// <windows.h> and never call the OS themselves; they call these functions. platform_win32.cc
// implements them with the Windows calls the installer makes when it runs, platform_posix.cc
// implements them for Linux so that the whole core builds natively and its tests run fast.
//
// Paths are UTF-16 everywhere. On POSIX a backslash is a path separator (it is turned into '/'
// before the path reaches the kernel), so that "C:\x\y" style code paths work unchanged in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
// <windows.h> maps these names to their W functions with macros, which would rename the
// functions below; a file that needs both includes <windows.h> first.
#undef CreateDirectory
#undef DeleteFile
#undef GetFileAttributes
#undef RemoveDirectory
#endif

namespace platform {

// ---------------------------------------------------------------------------------------------
// Files

enum class OpenMode {
  kRead,           // existing file, read only; others may read (C runtime "rb")
  kReadShareAll,   // existing file, read only; others may read, write and delete (CreateFileW)
  kReadDenyWrite,  // existing file, read only; others may read but neither write nor delete it
  kWrite,          // create or truncate, write only (C runtime "wb")
};

enum class Whence { kBegin, kCurrent, kEnd };

// An open file. Move-only; closes itself on destruction. Every operation on a file that is not
// open fails (-1 / false), so callers need test IsOpen() only where they report it.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  static File Open(const std::u16string& path, OpenMode mode);
  friend File OpenOwnImage(const std::u16string& path);
  // A second read-only handle on the same file (not found again by its path), with its own
  // position; others may read the file but not write it. Not open on failure.
  File Reopen() const;

  bool IsOpen() const { return handle_ != kInvalid; }
  void Close();

  // Reads up to n bytes at the current position. Returns the count read (0 at the end) or -1.
  int64_t Read(void* buffer, size_t n);
  // Reads up to n bytes at offset without moving the current position. Returns count or -1.
  int64_t ReadAt(uint64_t offset, void* buffer, size_t n);
  // Writes n bytes; returns the count written or -1.
  int64_t Write(const void* buffer, size_t n);
  // Moves the position; returns the new position or -1.
  int64_t Seek(int64_t offset, Whence whence);
  int64_t Tell();
  // The file's length in bytes, or -1.
  int64_t Size();
  bool Flush();

 private:
#ifdef _WIN32
  // The HANDLE's value, kept as an integer so that INVALID_HANDLE_VALUE (-1) can be a constant.
  using Handle = intptr_t;
  static constexpr Handle kInvalid = -1;
#else
  using Handle = int;
  static constexpr Handle kInvalid = -1;
#endif
  Handle handle_ = kInvalid;
};

// File attribute bits, with the values of the Windows attribute word.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrReparsePoint = 0x400;
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;

uint32_t GetFileAttributes(const std::u16string& path);
bool DeleteFile(const std::u16string& path);
bool RenameFile(const std::u16string& from, const std::u16string& to);  // replaces `to`

// Creates one directory. Fails when it exists already (callers that create a directory they
// must own, such as the workspace, rely on that). `restricted`: when the process is elevated,
// the directory gets a DACL with full control for Administrators and SYSTEM only and read and
// execute for everyone else, the directory's owner included (an OWNER RIGHTS entry, so that an
// owner who is the unelevated user gets no implicit right to change the DACL); otherwise it has
// the default security.
bool CreateDirectory(const std::u16string& path, bool restricted = false);
bool RemoveDirectory(const std::u16string& path);
// Removes a directory link (reparse point / symbolic link) itself, never what it points to.
bool RemoveLink(const std::u16string& path);

// An open handle on a directory, held from its creation until it is removed: on Windows nobody
// else may delete or rename the directory meanwhile (the handle does not share delete access).
// POSIX has no such lock; there only the identity check applies. Move-only; closes itself.
class DirectoryHold {
 public:
  DirectoryHold() = default;
  ~DirectoryHold() { Close(); }
  DirectoryHold(DirectoryHold&& other) noexcept : handle_(other.handle_) {
    other.handle_ = kInvalid;
  }
  DirectoryHold& operator=(DirectoryHold&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kInvalid;
    }
    return *this;
  }
  DirectoryHold(const DirectoryHold&) = delete;
  DirectoryHold& operator=(const DirectoryHold&) = delete;

  // Opens the directory itself; not open when `path` is a link or not a directory.
  static DirectoryHold Open(const std::u16string& path);
  bool IsOpen() const { return handle_ != kInvalid; }
  // True when `path`, resolved now with every link on the way followed, names the held
  // directory: the same file and the same final path (GetFinalPathNameByHandleW).
  bool IsNamedBy(const std::u16string& path) const;
  // Closes the hold and removes the directory (it must be empty) through a new handle on the
  // same directory, never by a path that may lead elsewhere. False when it could not be
  // removed; the hold is closed either way.
  bool RemoveAndClose();
  void Close();

 private:
#ifdef _WIN32
  using Handle = intptr_t;
#else
  using Handle = int;
#endif
  static constexpr Handle kInvalid = -1;
  Handle handle_ = kInvalid;
};

struct DirEntry {
  std::u16string name;
  uint32_t attributes = 0;  // kAttr* bits; links carry kAttrReparsePoint
};
// Lists the directory's entries (including "." and ".." where the OS reports them). False when
// the listing cannot start.
bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries);

// The user's temporary directory, or empty when the OS gives none (the caller falls back).
std::u16string TempPath();
// The system's temporary directory (%SystemRoot%\Temp\, found through the system's own
// directory, not the environment), where users may create entries but not delete or rename
// others'. Empty when unknown. On POSIX: $ZT_SYSTEM_TEMP, or else TempPath().
std::u16string SystemTempPath();

// ---------------------------------------------------------------------------------------------
// Time, identity, diagnostics

uint32_t TickCount();    // milliseconds since start, wraps at 2^32
int64_t CalendarTime();  // seconds since 1970-01-01 UTC
uint32_t CurrentThreadId();
int Rand();  // the C runtime's unseeded rand(): 0..32767
// Fills the buffer from the system's random generator (RtlGenRandom; getrandom on POSIX). False
// when the system gives none.
bool SystemRandom(void* buffer, size_t n);

// Writes text to the debugger output channel (OutputDebugStringA; standard error on POSIX).
void DebugOutput(const char* text);
// Tests capture the channel: while a hook is set, DebugOutput hands every text to it instead.
using DebugOutputHook = void (*)(const char* text, void* context);
void SetDebugOutputHook(DebugOutputHook hook, void* context);

// The trace switch value (HKLM\Software\Quillmora, "ZTSTR", 64-bit view). On POSIX a small file
// stands in for it: its path is $ZT_TRACE_SWITCH or, if unset, /tmp/zt-trace-switch; it may
// start with lines "type: N" (default 1 = REG_SZ) and "size: N" (the byte size the registry
// reports, default the text's with its terminator), the rest is the value text.
constexpr uint32_t kRegSz = 1;
struct SwitchQuery {
  bool keyOpened = false;   // false: key missing
  bool valueFound = false;  // false: value missing or query failed
  uint32_t type = 0;        // registry type
  uint32_t sizeBytes = 0;   // size as the registry reports it, terminator included
};
SwitchQuery QueryTraceSwitch();
// Reads the value data, at most maxBytes bytes (the size the query reported, which may be odd),
// as UTF-16 text. False when the read fails, as it does when the value holds more bytes.
bool ReadTraceSwitch(std::u16string* text, uint32_t maxBytes);

// ---------------------------------------------------------------------------------------------
// Processes and platform facts

// The process runs on 64-bit Windows: the 32-bit build under WOW64, the 64-bit build always.
// On POSIX, ZT_FAKE_WOW64=1 says yes (tests).
bool IsWow64();
uint32_t MajorVersion();             // GetVersionExW's dwMajorVersion; 0 when the call fails
bool IsElevated();                   // on POSIX: $ZT_FAKE_ELEVATED ("1"/"0") when set, else root
std::u16string OwnExecutablePath();  // GetModuleFileNameW with a 1024-unit buffer

// Opens the running program's own executable for reading, through `path` (OwnExecutablePath()),
// once: others may read it but neither write, delete nor rename it while the handle lives. The
// path is a name and the running file can be renamed away and another put in its place, so the
// file opened is checked to be the very image that runs (the same file as the mapped module,
// NtAreMappedFilesTheSame); not open when it cannot be opened or is another file. On POSIX the
// program running is no installer image: `path` ($ZT_INSTALLER_IMAGE) is opened as it is, and
// what a later rename puts at the path does not change what the open file reads.
File OpenOwnImage(const std::u16string& path);

// Starts a process from a Windows-style command line (first quoted token names the program)
// with the given current directory and the parent's environment. On POSIX the command line is
// split with the Windows rules before the program is spawned.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  static Process Start(const std::u16string& commandLine, const std::u16string& currentDir);
  bool IsStarted() const { return started_; }
  // Waits without time limit, closes the process handle and returns the process's exit code
  // (GetExitCodeProcess; on POSIX the exit status, or 128 + the number of the signal that ended
  // it, as shells report it). kUnknownExitCode when the process was not started or the system
  // cannot say.
  uint32_t Wait();
  static constexpr uint32_t kUnknownExitCode = 0xFFFFFFFFu;

 private:
  bool started_ = false;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int pid_ = -1;
#endif
};

// Splits a command-line tail with the Windows rules (CommandLineToArgvW), quirks included: the
// first token is read as a program name (in quotes it ends at the next quote, whatever follows,
// and the next argument may start right after it; unquoted it ends at a space or tab; a
// backslash is a plain character in it); in the others 2n backslashes before a quote give n and
// the quote delimits, 2n + 1 give n and a literal quote, and two quotes inside quotes give a
// literal quote and end the quoted part. An empty tail gives one element, the executable's own
// path. The POSIX layer implements the same rules.
std::vector<std::u16string> SplitCommandLine(const std::u16string& tail);

// ---------------------------------------------------------------------------------------------
// User interface

// Message box with OK button and exclamation icon, owned by `owner` (the progress window, or
// null), topmost and in the foreground; returns when the user closed it. On POSIX the text goes
// to standard error.
void ShowErrorBox(const std::u16string& text, const std::u16string& caption, void* owner);

// Sends the progress bar its set-position message (synchronously). On POSIX the bar is a text
// bar drawn on the terminal.
void SetProgressPosition(void* hwndProgress, int value);

// The front end's own services (front_end_win32.cc / front_end_posix.cc): the progress window,
// its message loop and the worker thread.

// Limits where later DLL loads search: to the system directory (SetDefaultDllDirectories with
// the System32 flag, looked up at run time), or, where that function is missing (Vista and 7
// without their update) or `useDefaultDirectories` is false, by SetDllDirectoryW(L"") at least
// without the current directory. Says which took effect.
enum class DllSearchRestriction { kNone, kSystem32Only, kNoCurrentDirectory };
DllSearchRestriction RestrictDllSearchPath(bool useDefaultDirectories = true);
uint32_t LastError();  // GetLastError(); 0 on POSIX
// Registers the progress bar class (InitCommonControlsEx, size 8, class flag 0x20); its result.
int InitProgressControls();
// Creates the modeless progress dialog (resource 101, no owner) whose dialog procedure stores
// the bar's handle (control 1000) in *hwndProgress while the dialog is created. Returns the
// dialog handle, null on failure. On POSIX both handles stand for the terminal's text bar.
void* CreateProgressDialog(void** hwndProgress);
// The bar's set-range message (0x401) with low word `low` and high word `high`.
void SetProgressRange(void* hwndProgress, int low, int high);
void HideWindow(void* window);  // ShowWindow(window, SW_HIDE)
void DestroyWindow(void* window);
#ifndef _WIN32
// Progress dialogs created and not yet destroyed (tests of the POSIX stand-in).
int LiveProgressDialogs();
#endif
// Takes one message off the thread's queue (any window, removed), translates and dispatches
// it. False when there was none.
bool PumpOneMessage();
void SleepMilliseconds(uint32_t milliseconds);

// A thread running `routine(nullptr)`. The handle is closed on destruction.
class Thread {
 public:
  using Routine = unsigned (*)(void* argument);
  Thread();
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // False when the thread could not be created (on POSIX also when $ZT_FAKE_NO_THREAD is "1").
  bool Start(Routine routine);
  // Waits up to `milliseconds`; true when the thread has ended.
  bool WaitFor(uint32_t milliseconds);
  // The routine's return value, once WaitFor has said that the thread has ended;
  // kUnknownResult when there is no thread or the system cannot say.
  unsigned Result() const;
  static constexpr unsigned kUnknownResult = 0xFFFFFFFFu;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------------------------------------
// Text conversion (the only bridge between UTF-16 and UTF-8; see support/text.h)

// Converts with the platform's UTF-8 conversion (WideCharToMultiByte / MultiByteToWideChar,
// flags 0). Returns the count of output units written, 0 on failure; when `out` is null or too
// small, sets *insufficient (when given) and returns 0, or returns the needed size when
// `out` is null. `n` < 0 means zero-terminated input whose count includes the terminator.
int WideToUtf8Raw(const char16_t* in, int n, char* out, int outSize, bool* insufficient);
int Utf8ToWideRaw(const char* in, int n, char16_t* out, int outSize, bool* insufficient);

}  // namespace platform
