// A stand-in setup program for the end-to-end tests and the demo. It writes what it received as
// one JSON object to the file named by %ZT_REPORT% (standard output when unset):
//   commandLine       the full command line, as GetCommandLineW gives it
//   arguments         that line split by CommandLineToArgvW
//   currentDirectory  GetCurrentDirectoryW
//   files             every file below the current directory: relative path, size, SHA-1
//   reportVariable    {"name": "ZT_REPORT", "value": ...}
// %ZT_SETUP_SLEEP_MS% makes it wait before it ends (so that a test can look at the screen while
// it runs); %ZT_SETUP_EXIT% sets its exit code. %ZT_SETUP_HOLD% = "FILE*MS" leaves a process
// behind that holds FILE (relative to the current directory) open, sharing nothing, for MS
// milliseconds after this program has ended.
#include <windows.h>
#include <shellapi.h>

#include <cryptopp/hex.h>
#include <cryptopp/sha.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[32768];
  DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  if (n == 0 || n >= 32768) return std::wstring();
  return std::wstring(buffer, n);
}

bool HasEnv(const wchar_t* name) { return GetEnvironmentVariableW(name, nullptr, 0) > 0; }

struct FileRecord {
  std::wstring path;
  unsigned long long size = 0;
  std::string sha1;
};

std::string Sha1OfFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "unreadable";
  CryptoPP::SHA1 hash;
  std::vector<unsigned char> buffer(1 << 16);
  DWORD got = 0;
  while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
         got > 0) {
    hash.Update(buffer.data(), got);
  }
  CloseHandle(file);
  unsigned char digest[CryptoPP::SHA1::DIGESTSIZE];
  hash.Final(digest);
  std::string hex;
  CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(hex), false);
  encoder.Put(digest, sizeof digest);
  encoder.MessageEnd();
  return hex;
}

void ListFiles(const std::wstring& base, const std::wstring& relative,
               std::vector<FileRecord>* files) {
  WIN32_FIND_DATAW data;
  std::wstring pattern = base + relative + L"*";
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListFiles(base, relative + name + L"\\", files);
    } else {
      FileRecord record;
      record.path = relative + name;
      record.size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      record.sha1 = Sha1OfFile(base + record.path);
      files->push_back(record);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

}  // namespace

// Opens FILE with an inheritable handle that shares nothing and starts this program again as
// the holder, which inherits the handle and only waits (%ZT_HOLDER_MS%); this one then ends.
void LeaveHolderBehind(const std::wstring& request) {
  size_t star = request.rfind(L'*');
  if (star == std::wstring::npos) return;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileW(request.substr(0, star).c_str(), GENERIC_READ, 0, &inherit,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  wchar_t self[MAX_PATH * 4];
  GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  SetEnvironmentVariableW(L"ZT_HOLDER_MS", request.substr(star + 1).c_str());
  SetEnvironmentVariableW(L"ZT_REPORT", nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::wstring commandLine = L"holder";
  if (CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(file);
}

int wmain() {
  std::wstring holderMs = Env(L"ZT_HOLDER_MS");
  if (!holderMs.empty()) {
    Sleep(static_cast<DWORD>(_wtoi(holderMs.c_str())));
    return 0;
  }
  std::wstring commandLine = GetCommandLineW();
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);

  wchar_t cwdBuffer[MAX_PATH * 4];
  DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH * 4, cwdBuffer);
  std::wstring cwd(cwdBuffer, cwdLength);
  std::wstring base = cwd;
  if (!base.empty() && base.back() != L'\\') base += L'\\';
  std::vector<FileRecord> files;
  ListFiles(base, L"", &files);

  std::string json = "{\n  \"commandLine\": " + Quote(Utf8(commandLine)) + ",\n  \"arguments\": [";
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    json += (i ? ", " : "") + Quote(Utf8(argv[i]));
  }
  json += "],\n  \"currentDirectory\": " + Quote(Utf8(cwd)) + ",\n  \"files\": [";
  for (size_t i = 0; i < files.size(); ++i) {
    json += i ? ",\n    " : "\n    ";
    json += "{\"path\": " + Quote(Utf8(files[i].path)) +
            ", \"size\": " + std::to_string(files[i].size) + ", \"sha1\": " + Quote(files[i].sha1) +
            "}";
  }
  std::wstring reportPath = Env(L"ZT_REPORT");
  json += files.empty() ? "],\n" : "\n  ],\n";
  json += "  \"reportVariable\": {\"name\": \"ZT_REPORT\", \"value\": " +
          (HasEnv(L"ZT_REPORT") ? Quote(Utf8(reportPath)) : std::string("null")) + "}\n}\n";
  if (argv != nullptr) LocalFree(argv);

  if (reportPath.empty()) {
    std::fwrite(json.data(), 1, json.size(), stdout);
  } else {
    HANDLE out = CreateFileW(reportPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    WriteFile(out, json.data(), static_cast<DWORD>(json.size()), &written, nullptr);
    CloseHandle(out);
  }

  std::wstring hold = Env(L"ZT_SETUP_HOLD");
  if (!hold.empty()) LeaveHolderBehind(hold);
  std::wstring sleep = Env(L"ZT_SETUP_SLEEP_MS");
  if (!sleep.empty()) Sleep(static_cast<DWORD>(_wtoi(sleep.c_str())));
  std::wstring exitCode = Env(L"ZT_SETUP_EXIT");
  return exitCode.empty() ? 0 : _wtoi(exitCode.c_str());
}
