// The front end's window and thread services on Windows: the progress window (dialog resource
// 101 and its dialog procedure), the message loop's single step, and the worker thread.
#include <windows.h>
#include <commctrl.h>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr int kProgressDialogId = 101;
constexpr int kProgressBarId = 1000;

// Where the dialog procedure stores the bar's handle. Written by the main thread while the
// dialog is created, before the worker thread exists.
void** progressSlot = nullptr;

// Stores the bar's handle when the dialog is initialised and handles nothing: returning 0 for
// every message also leaves close and cancel requests without effect, so the window cannot be
// dismissed by the user.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG && progressSlot != nullptr) {
    *progressSlot = GetDlgItem(dialog, kProgressBarId);
  }
  return 0;
}

DWORD WINAPI ThreadStart(LPVOID parameter) {
  auto routine = reinterpret_cast<Thread::Routine>(parameter);
  return routine(nullptr);
}

}  // namespace

DllSearchRestriction RestrictDllSearchPath(bool useDefaultDirectories) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return DllSearchRestriction::kNone;
  // Looked up at run time: Vista and 7 without their update lack the first function.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  if (useDefaultDirectories && setDefault != nullptr && setDefault(kSearchSystem32)) {
    return DllSearchRestriction::kSystem32Only;
  }
  // Without it, an empty DLL directory at least takes the current directory (the workspace,
  // the downloads folder) out of the search order.
  using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
  auto setDllDirectory = reinterpret_cast<SetDllDirectoryFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryW")));
  if (setDllDirectory != nullptr && setDllDirectory(L"")) {
    return DllSearchRestriction::kNoCurrentDirectory;
  }
  return DllSearchRestriction::kNone;
}

uint32_t LastError() { return GetLastError(); }

int InitProgressControls() {
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof controls;    // 8
  controls.dwICC = ICC_PROGRESS_CLASS;  // 0x20
  return InitCommonControlsEx(&controls);
}

void* CreateProgressDialog(void** hwndProgress) {
  progressSlot = hwndProgress;
  HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kProgressDialogId),
                                   nullptr, ProgressDialogProc, 0);
  progressSlot = nullptr;
  return dialog;
}

void SetProgressRange(void* hwndProgress, int low, int high) {
  SendMessageW(static_cast<HWND>(hwndProgress), PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void HideWindow(void* window) { ShowWindow(static_cast<HWND>(window), SW_HIDE); }

void DestroyWindow(void* window) { ::DestroyWindow(static_cast<HWND>(window)); }

bool PumpOneMessage() {
  MSG message;
  if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return false;
  TranslateMessage(&message);
  DispatchMessageW(&message);
  return true;
}

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

struct Thread::State {
  HANDLE handle = nullptr;
};

Thread::Thread() = default;

Thread::~Thread() {
  if (state_ && state_->handle != nullptr) CloseHandle(state_->handle);
}

bool Thread::Start(Routine routine) {
  HANDLE handle =
      CreateThread(nullptr, 0, ThreadStart, reinterpret_cast<void*>(routine), 0, nullptr);
  if (handle == nullptr) return false;
  state_ = std::make_unique<State>();
  state_->handle = handle;
  return true;
}

bool Thread::WaitFor(uint32_t milliseconds) {
  if (!state_ || state_->handle == nullptr) return true;
  return WaitForSingleObject(state_->handle, milliseconds) == WAIT_OBJECT_0;
}

unsigned Thread::Result() const {
  DWORD code = 0;
  if (!state_ || state_->handle == nullptr || !GetExitCodeThread(state_->handle, &code)) {
    return kUnknownResult;
  }
  return code;
}

}  // namespace platform
