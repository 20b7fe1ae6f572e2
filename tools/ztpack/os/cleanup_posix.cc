#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "os/cleanup.h"

namespace ztpack::cleanup {
namespace {

constexpr int kSlots = 64;
constexpr size_t kMaxPath = 4096;
// Depth of directories removed below a registered one (ztpack's own are flat).
constexpr int kMaxDepth = 16;

// A slot is free (0), being filled or emptied (1), or holds a path (2). The handler reads only
// slots in state 2; a slot's path is written only while it is in state 1.
struct Slot {
  std::atomic<int> state{0};
  Kind kind = Kind::kFile;
  char path[kMaxPath];
};
Slot slots[kSlots];
std::atomic<int64_t> runningChild{0};
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes everything inside the directory `dir` (a descriptor), without following links.
void EmptyDirectory(int dir, int depth) {
  alignas(8) char buffer[4096];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (got <= 0) return;
    bool removedAny = false;
    for (long at = 0; at < got;) {
      // struct linux_dirent64 { u64 d_ino; s64 d_off; u16 d_reclen; u8 d_type; char d_name[]; }
      unsigned short length;
      std::memcpy(&length, buffer + at + 16, sizeof length);
      const unsigned char type = static_cast<unsigned char>(buffer[at + 18]);
      const char* name = buffer + at + 19;
      at += length;
      if (length == 0) return;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (::unlinkat(dir, name, 0) == 0) {
        removedAny = true;
        continue;
      }
      if ((type == DT_DIR || type == DT_UNKNOWN) && depth < kMaxDepth) {
        const int sub = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
          EmptyDirectory(sub, depth + 1);
          ::close(sub);
        }
        if (::unlinkat(dir, name, AT_REMOVEDIR) == 0) removedAny = true;
      }
    }
    // The listing goes on from where it was; entries removed do not shift it.
    (void)removedAny;
  }
}

void RemoveRegistered() {
  for (Slot& slot : slots) {
    if (slot.state.load(std::memory_order_acquire) != 2) continue;
    if (slot.kind == Kind::kFile) {
      ::unlink(slot.path);
      continue;
    }
    // Two passes: a file created by another thread during the first is caught by the second.
    for (int pass = 0; pass < 2; ++pass) {
      const int dir = ::open(slot.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (dir < 0) {
        ::unlink(slot.path);  // a link put in the directory's place goes as a link
        break;
      }
      EmptyDirectory(dir, 0);
      ::close(dir);
      if (::rmdir(slot.path) == 0) break;
    }
  }
}

void OnSignal(int signal) {
  const int saved = errno;
  const int64_t child = runningChild.load();
  if (child > 0) ::kill(static_cast<pid_t>(child), SIGTERM);
  RemoveRegistered();
  errno = saved;
  // The default action, so that the process ends as the signal says.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  ::raise(signal);
}

void InstallHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int signal : kSignals) {
      struct sigaction old = {};
      if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
      struct sigaction action = {};
      action.sa_handler = &OnSignal;
      sigemptyset(&action.sa_mask);
      for (int other : kSignals) sigaddset(&action.sa_mask, other);
      ::sigaction(signal, &action, nullptr);
    }
  });
}

}  // namespace

int Register(const std::string& path, Kind kind) {
  if (path.empty() || path.size() >= kMaxPath) return -1;
  InstallHandlers();
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (!slots[i].state.compare_exchange_strong(expected, 1)) continue;
    slots[i].kind = kind;
    std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
    slots[i].state.store(2, std::memory_order_release);
    return i;
  }
  return -1;
}

void Unregister(int token) {
  if (token < 0 || token >= kSlots) return;
  slots[token].state.store(1);
  slots[token].path[0] = '\0';
  slots[token].state.store(0);
}

void SetRunningChild(int64_t pid) { runningChild.store(pid); }

}  // namespace ztpack::cleanup
