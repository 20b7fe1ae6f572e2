// On Windows the console's control handler runs on a thread of its own, where ordinary code
// may run: the registered paths are removed as RemoveTree and RemoveFile remove them, the child
// is ended, and the default handler then ends the process.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "os/cleanup.h"
#include "os/file_ops.h"

namespace ztpack::cleanup {
namespace {

struct Entry {
  std::string path;
  Kind kind = Kind::kFile;
  bool used = false;
};
std::mutex mutex;
std::vector<Entry> entries;
int64_t runningChild = 0;

BOOL WINAPI OnControl(DWORD) {
  std::lock_guard<std::mutex> lock(mutex);
  if (runningChild != 0) {
    HANDLE child = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(runningChild));
    if (child != nullptr) {
      ::TerminateProcess(child, 1);
      ::CloseHandle(child);
    }
  }
  for (const Entry& entry : entries) {
    if (!entry.used) continue;
    if (entry.kind == Kind::kDirectory) {
      fileops::RemoveTree(entry.path);
    } else {
      fileops::RemoveFile(entry.path);
    }
  }
  return FALSE;  // the next handler, the default one, ends the process
}

}  // namespace

int Register(const std::string& path, Kind kind) {
  static std::once_flag once;
  std::call_once(once, [] { ::SetConsoleCtrlHandler(&OnControl, TRUE); });
  std::lock_guard<std::mutex> lock(mutex);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].used) {
      entries[i] = Entry{path, kind, true};
      return static_cast<int>(i);
    }
  }
  entries.push_back(Entry{path, kind, true});
  return static_cast<int>(entries.size() - 1);
}

void Unregister(int token) {
  std::lock_guard<std::mutex> lock(mutex);
  if (token >= 0 && static_cast<size_t>(token) < entries.size()) entries[token] = Entry{};
}

void SetRunningChild(int64_t pid) {
  std::lock_guard<std::mutex> lock(mutex);
  runningChild = pid;
}

}  // namespace ztpack::cleanup
