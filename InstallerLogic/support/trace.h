// The diagnostic trace: the program's only log. Lines go to the debugger output channel with
// the calling thread's id in front ("[T %08x] "), and only while the machine's trace switch
// holds exactly "!Tracelog!". The switch is re-read at most once every 3 to 6.1 seconds.
#pragma once

#include <cstdint>
#include <cstdio>  // defines __MINGW_PRINTF_FORMAT on MinGW

// The format archetype that matches the C runtime's printf. MinGW's headers name it: with the
// C99 printf family (__USE_MINGW_ANSI_STDIO) it is gnu_printf, where plain "printf" would check
// against the Microsoft rules (no %zu, %lld seen as wrong).
#if defined(__MINGW_PRINTF_FORMAT)
#define ZT_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define ZT_PRINTF_FORMAT printf
#endif

namespace support {

// Formats one line and writes it unless the switch says no. No line break is added.
void Trace(const char* format, ...) __attribute__((format(ZT_PRINTF_FORMAT, 1, 2)));

// True when trace output is to be dropped (the cached answer between registry reads).
bool IsTraceSuppressed();

constexpr int kTraceBufferSize = 4092;
constexpr int kTracePrefixLength = 13;

namespace testing {
// Test hooks: force the switch on or off without waiting for the read interval (-1 restores
// the registry-driven behaviour), and forget the last registry read.
void ForceTrace(int state);
void ResetTraceSwitch();
}  // namespace testing

}  // namespace support
