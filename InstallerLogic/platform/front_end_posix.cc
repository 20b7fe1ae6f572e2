// The front end's window and thread services on Linux: the progress window is the text bar that
// SetProgressPosition draws on standard error, and there is no message queue.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace platform {
namespace {

// Stand-ins for the two window handles: only their being non-null matters to the callers.
char dialogToken;
char barToken;
std::atomic<int> liveDialogs{0};

}  // namespace

DllSearchRestriction RestrictDllSearchPath(bool /*useDefaultDirectories*/) {
  return DllSearchRestriction::kNone;
}

uint32_t LastError() { return 0; }

int InitProgressControls() { return 1; }

void* CreateProgressDialog(void** hwndProgress) {
  *hwndProgress = &barToken;
  ++liveDialogs;
  return &dialogToken;
}

void SetProgressRange(void* hwndProgress, int low, int high) {}

void HideWindow(void* window) {
  if (window == &dialogToken) {
    std::fputs("\r\n", stderr);
    std::fflush(stderr);
  }
}

void DestroyWindow(void* window) {
  if (window == &dialogToken) --liveDialogs;
}

int LiveProgressDialogs() { return liveDialogs.load(); }

bool PumpOneMessage() { return false; }

void SleepMilliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

struct Thread::State {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  unsigned result = 0;
  std::thread thread;
};

Thread::Thread() = default;

Thread::~Thread() {
  if (state_ && state_->thread.joinable()) state_->thread.join();
}

bool Thread::Start(Routine routine) {
  const char* noThread = std::getenv("ZT_FAKE_NO_THREAD");
  if (noThread != nullptr && std::strcmp(noThread, "1") == 0) return false;
  auto state = std::make_unique<State>();
  State* raw = state.get();
  try {
    raw->thread = std::thread([raw, routine] {
      const unsigned result = routine(nullptr);
      std::lock_guard<std::mutex> lock(raw->mutex);
      raw->result = result;
      raw->done = true;
      raw->ended.notify_all();
    });
  } catch (const std::system_error&) {
    return false;
  }
  state_ = std::move(state);
  return true;
}

bool Thread::WaitFor(uint32_t milliseconds) {
  if (!state_) return true;
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                [this] { return state_->done; });
}

unsigned Thread::Result() const {
  if (!state_) return kUnknownResult;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->result;
}

}  // namespace platform
