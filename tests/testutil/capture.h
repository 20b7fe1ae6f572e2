// Captures the debugger output channel (trace lines, progress texts) for the length of a scope.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/trace.h"

namespace testutil {

class DebugCapture {
 public:
  // traceOn: force the trace switch on while capturing (the registry stand-in is not consulted).
  explicit DebugCapture(bool traceOn = true) {
    platform::SetDebugOutputHook(&DebugCapture::Hook, this);
    if (traceOn) support::testing::ForceTrace(1);
  }
  ~DebugCapture() {
    platform::SetDebugOutputHook(nullptr, nullptr);
    support::testing::ForceTrace(-1);
  }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  // Every text written, in order.
  std::vector<std::string> texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  // The trace lines with their 13-character "[T xxxxxxxx] " prefix removed; other texts as is.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const std::string& t : texts()) {
      out.push_back(t.rfind("[T ", 0) == 0 && t.size() >= 13 ? t.substr(13) : t);
    }
    return out;
  }
  // All trace messages concatenated (prefixes removed).
  std::string joined() const {
    std::string all;
    for (const std::string& l : lines()) all += l;
    return all;
  }
  // Called with every text as it is written, on the writing thread (set before the run).
  std::function<void(const std::string&)> onText;

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.clear();
  }

 private:
  static void Hook(const char* text, void* context) {
    auto* self = static_cast<DebugCapture*>(context);
    if (self->onText) self->onText(text);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->texts_.emplace_back(text);
  }
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

}  // namespace testutil
