#include "support/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace support {
namespace {

// Process-wide state, read and written without a lock; atomics keep concurrent callers (tests,
// a worker thread and the main thread) free of data races at no cost.
std::atomic<bool> suppressed{true};
std::atomic<uint32_t> lastCheck{0};
std::atomic<int> forced{-1};

constexpr char16_t kEnablingText[] = u"!Tracelog!";
constexpr uint32_t kMaxValueBytes = 255;

bool ReadSwitch() {
  platform::SwitchQuery query = platform::QueryTraceSwitch();
  if (!query.keyOpened) return true;
  if (!query.valueFound || query.type != platform::kRegSz || query.sizeBytes > kMaxValueBytes) {
    return true;
  }
  std::u16string text;
  // The registry may report an odd size; the read asks for exactly that many bytes, since a
  // byte fewer makes it fail.
  if (!platform::ReadTraceSwitch(&text, query.sizeBytes)) return true;
  // Compared as a zero-terminated string: anything after an embedded zero does not count.
  size_t zero = text.find(u'\0');
  if (zero != std::u16string::npos) text.resize(zero);
  return text != kEnablingText;
}

}  // namespace

bool IsTraceSuppressed() {
  int f = forced.load(std::memory_order_relaxed);
  if (f >= 0) return f == 0;
  uint32_t now = platform::TickCount();
  uint32_t interval = 3000 + static_cast<uint32_t>(platform::Rand() & 31) * 100;
  if (now - lastCheck.load(std::memory_order_relaxed) <= interval) {
    return suppressed.load(std::memory_order_relaxed);
  }
  lastCheck.store(now, std::memory_order_relaxed);
  bool result = ReadSwitch();
  suppressed.store(result, std::memory_order_relaxed);
  return result;
}

void Trace(const char* format, ...) {
  if (IsTraceSuppressed()) return;
  char buffer[kTraceBufferSize];
  std::snprintf(buffer, kTracePrefixLength + 1, "[T %08x] ", platform::CurrentThreadId());
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer + kTracePrefixLength, kTraceBufferSize - kTracePrefixLength - 1, format,
                 args);
  va_end(args);
  platform::DebugOutput(buffer);
}

namespace testing {
void ForceTrace(int state) { forced.store(state); }
void ResetTraceSwitch() {
  lastCheck.store(0);
  suppressed.store(true);
}
}  // namespace testing

}  // namespace support
