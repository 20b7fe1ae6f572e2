// The program's entry points. On Windows the GUI entry wWinMain, which the runtime hands the
// command-line tail; natively a plain main that rebuilds the tail from argv, each argument
// quoted as Wine quotes it for a Windows program started from a shell, so that the same entry
// sequence runs in tests and tools and splits the tail as under Windows. Natively the running
// program is no PE image, so the installer image to read the payload from is named by
// $ZT_INSTALLER_IMAGE.
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdlib>
#include <string>
#include <vector>

#include "entry.h"
#include "support/text.h"

#ifdef _WIN32

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandTail, int show) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  const auto* tail = reinterpret_cast<const char16_t*>(commandTail != nullptr ? commandTail : L"");
  return installer::RunEntry(std::u16string(tail));
}

#else

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(support::Utf8ToWide(argv[i]));
  const char* image = std::getenv("ZT_INSTALLER_IMAGE");
  std::u16string ownPath = image != nullptr ? support::Utf8ToWide(image) : std::u16string();
  return installer::RunEntry(installer::JoinCommandTail(arguments), ownPath);
}

#endif
