// Reads back what Windows shows of a program, through the system's own calls: the version
// strings (GetFileVersionInfoW, VerQueryValueW), the fixed file version and the icons
// (ExtractIconExW). Prints one "name=value" line each; exit code 0 when the file has a version
// resource. With --show SECONDS first, it also opens a window titled "Version information"
// that draws the file's large icon and those lines (a screenshot of what Windows reads), until
// a key is pressed in it or for at most that long.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/text.h"

namespace {

HICON shownIcon = nullptr;
std::wstring shownText;

LRESULT CALLBACK ShowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      if (shownIcon != nullptr) DrawIconEx(dc, 16, 16, shownIcon, 32, 32, 0, nullptr, DI_NORMAL);
      RECT area = {64, 16, 600, 300};
      DrawTextW(dc, shownText.c_str(), -1, &area, DT_LEFT | DT_NOPREFIX);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_TIMER:
    case WM_KEYDOWN: DestroyWindow(window); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void Show(const wchar_t* path, const std::string& lines, UINT seconds) {
  ExtractIconExW(path, 0, &shownIcon, nullptr, 1);
  shownText = std::wstring(path) + L"\n\n";
  std::u16string wide = support::Utf8ToWide(lines);
  shownText.append(wide.begin(), wide.end());
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ShowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"ReadIdentity";
  RegisterClassW(&windowClass);
  HWND window =
      CreateWindowW(L"ReadIdentity", L"Version information", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                    40, 640, 340, nullptr, nullptr, windowClass.hInstance, nullptr);
  SetTimer(window, 1, seconds * 1000, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  UINT showSeconds = 0;
  if (argc >= 3 && std::wstring(argv[1]) == L"--show") {
    showSeconds = static_cast<UINT>(_wtoi(argv[2]));
    argc -= 2;
    argv += 2;
  }
  if (argc < 2) return 2;
  const wchar_t* path = argv[1];
  std::string lines;
  auto emit = [&lines](const std::string& line) {
    std::printf("%s\n", line.c_str());
    lines += line + "\n";
  };
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  emit("icons=" + std::to_string(ExtractIconExW(path, -1, nullptr, nullptr, 0)));
  std::vector<unsigned char> data(size);
  if (size == 0 || !GetFileVersionInfoW(path, 0, size, data.data())) return 1;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
    emit("fixed=" + std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionLS)));
  }
  for (int i = 2; i < argc; ++i) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + argv[i];
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
        value != nullptr) {
      std::u16string name(reinterpret_cast<const char16_t*>(argv[i]));
      std::u16string text(reinterpret_cast<const char16_t*>(value));
      emit(support::WideToUtf8(name) + "=" + support::WideToUtf8(text));
    }
  }
  std::fflush(stdout);
  if (showSeconds > 0) Show(path, lines, showSeconds);
  return 0;
}
