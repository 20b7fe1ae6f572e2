// The front end's window and thread services on Linux: the progress window is the text bar that
// SetProgressPosition draws on standard error, and there is no message queue.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace platform {
namespace {

// Stand-ins for the two window handles: only their being non-null matters to the callers.
char dialogToken;
char barToken;

}  // namespace

bool RestrictDllSearchPath() { return false; }

uint32_t LastError() { return 0; }

int InitProgressControls() { return 1; }

void* CreateProgressDialog(void** hwndProgress) {
  *hwndProgress = &barToken;
  return &dialogToken;
}

void SetProgressRange(void* hwndProgress, int low, int high) {}

void HideWindow(void* window) {
  if (window == &dialogToken) {
    std::fputs("\r\n", stderr);
    std::fflush(stderr);
  }
}

void DestroyWindow(void* window) {}

bool PumpOneMessage() { return false; }

void SleepMilliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

struct Thread::State {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread thread;
};

Thread::Thread() = default;

Thread::~Thread() {
  if (state_ && state_->thread.joinable()) state_->thread.join();
}

bool Thread::Start(Routine routine) {
  auto state = std::make_unique<State>();
  State* raw = state.get();
  try {
    raw->thread = std::thread([raw, routine] {
      routine(nullptr);
      std::lock_guard<std::mutex> lock(raw->mutex);
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

}  // namespace platform
