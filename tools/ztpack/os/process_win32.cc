#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <mutex>
#include <set>

#include "os/cleanup.h"
#include "os/process.h"
#include "support/text.h"

namespace ztpack::process {
namespace {

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = support::Utf8ToWide(utf8, true);
  return std::wstring(text.begin(), text.end());
}

// One argument as the C runtime's command-line splitter reads it back (wchar_t is UTF-16 here).
std::wstring Quote(const std::wstring& argument) {
  const std::u16string quoted =
      support::QuoteCommandArgument(std::u16string(argument.begin(), argument.end()));
  return std::wstring(quoted.begin(), quoted.end());
}

std::string LastError() {
  wchar_t text[512];
  const DWORD code = ::GetLastError();
  if (::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, 512, nullptr) == 0) {
    return "error " + std::to_string(code);
  }
  std::u16string wide(reinterpret_cast<const char16_t*>(text));
  while (!wide.empty() && (wide.back() == u'\n' || wide.back() == u'\r')) wide.pop_back();
  return support::WideToUtf8(wide, true);
}

std::mutex secretNamesMutex;
std::set<std::wstring>& SecretNames() {
  static std::set<std::wstring> names = {L"ZTPACK_PKCS11_PIN"};
  return names;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towupper(c));
  return text;
}

}  // namespace

void NeverPassOn(const std::string& name) {
  std::lock_guard<std::mutex> lock(secretNamesMutex);
  SecretNames().insert(Upper(Wide(name)));
}

bool IsNeverPassedOn(const std::string& name) {
  std::lock_guard<std::mutex> lock(secretNamesMutex);
  return SecretNames().count(Upper(Wide(name))) != 0;
}

// osslsigncode and ztpack open files by name; an inherited handle has none they could open.
std::string InheritedName(size_t) { return {}; }

support::Result<Finished> Run(const std::string& program, const std::vector<std::string>& arguments,
                              const RunOptions& options) {
  const auto& environment = options.environment;
  if (!options.inherit.empty()) {
    return support::Errorf(
        "%s: this build of ztpack cannot hand a program an open file (a secret or the file it "
        "checks); run this step with the Linux tool",
        program.c_str());
  }
  std::wstring line = Quote(Wide(program));
  for (const std::string& a : arguments) line += L" " + Quote(Wide(a));

  // The environment block: the tool's own, without the variables given, then those.
  std::wstring block;
  if (wchar_t* strings = ::GetEnvironmentStringsW()) {
    for (const wchar_t* p = strings; *p != 0; p += wcslen(p) + 1) {
      const std::wstring entry = p;
      const std::wstring name = entry.substr(0, entry.find(L'=', 1));
      bool replaced = !name.empty() && IsNeverPassedOn(support::WideToUtf8(
                                           std::u16string(name.begin(), name.end()), true));
      for (const auto& [key, value] : environment)
        replaced |= _wcsicmp(Wide(key).c_str(), name.c_str()) == 0;
      if (!replaced) block += entry + L'\0';
    }
    ::FreeEnvironmentStringsW(strings);
  }
  for (const auto& [key, value] : environment) {
    if (!IsNeverPassedOn(key)) block += Wide(key) + L"=" + Wide(value) + L'\0';
  }
  block += L'\0';

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    return support::Errorf("%s: no pipe: %s", program.c_str(), LastError().c_str());
  }
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION info{};
  const std::wstring path = Wide(program);
  const BOOL started = ::CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, block.data(),
                                        nullptr, &startup, &info);
  const std::string why = started ? std::string() : LastError();
  ::CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
  if (!started) {
    ::CloseHandle(readEnd);
    return support::Errorf("%s: cannot be started: %s", program.c_str(), why.c_str());
  }
  cleanup::SetRunningChild(static_cast<int64_t>(info.dwProcessId));
  Finished finished;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    const size_t room = kMaxOutput - std::min(kMaxOutput, finished.output.size());
    finished.output.append(buffer, std::min<size_t>(room, got));
  }
  ::CloseHandle(readEnd);
  ::WaitForSingleObject(info.hProcess, INFINITE);
  cleanup::SetRunningChild(0);
  DWORD code = 1;
  ::GetExitCodeProcess(info.hProcess, &code);
  ::CloseHandle(info.hProcess);
  ::CloseHandle(info.hThread);
  finished.exitCode = static_cast<int>(code);
  return finished;
}

// Windows builds hand no secret to a program (InheritedName is empty): refused where used.
support::Result<SecretPipe> SecretPipe::Create(const std::string&) {
  return support::Errorf(
      "this build of ztpack cannot hand osslsigncode a password or PIN without writing it to a "
      "file; sign with a key that needs none, or with the Linux tool");
}
SecretPipe::~SecretPipe() = default;
SecretPipe::SecretPipe(SecretPipe&& other) noexcept : readEnd_(other.readEnd_) {
  other.readEnd_ = -1;
}
SecretPipe& SecretPipe::operator=(SecretPipe&& other) noexcept {
  readEnd_ = other.readEnd_;
  other.readEnd_ = -1;
  return *this;
}

std::string FindProgram(const std::string& name) {
  auto isFile = [](const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  };
  if (name.find_first_of("/\\") != std::string::npos) return isFile(name) ? name : std::string();
  const DWORD needed = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
  std::wstring path(needed, L'\0');
  if (needed == 0 || ::GetEnvironmentVariableW(L"PATH", path.data(), needed) == 0) return {};
  path.resize(wcslen(path.c_str()));
  const std::string dirs = support::WideToUtf8(std::u16string(path.begin(), path.end()), true);
  size_t start = 0;
  while (start < dirs.size()) {
    size_t end = dirs.find(';', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    for (const char* suffix : {"", ".exe"}) {
      const std::string candidate = dir + "\\" + name + suffix;
      if (!dir.empty() && isFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return {};
}

}  // namespace ztpack::process
