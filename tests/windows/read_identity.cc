// Reads back what Windows shows of a program, through the system's own calls: the version
// strings (GetFileVersionInfoW, VerQueryValueW), the fixed file version and the icons
// (ExtractIconExW). Prints one "name=value" line each; exit code 0 when the file has a version
// resource.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/text.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const wchar_t* path = argv[1];
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  std::printf("icons=%u\n", ExtractIconExW(path, -1, nullptr, nullptr, 0));
  if (size == 0) return 1;
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoW(path, 0, size, data.data())) return 1;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
    std::printf("fixed=%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                LOWORD(fixed->dwFileVersionLS));
  }
  for (int i = 2; i < argc; ++i) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + argv[i];
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
        value != nullptr) {
      std::u16string name(reinterpret_cast<const char16_t*>(argv[i]));
      std::u16string text(reinterpret_cast<const char16_t*>(value));
      std::printf("%s=%s\n", support::WideToUtf8(name).c_str(), support::WideToUtf8(text).c_str());
    }
  }
  return 0;
}
