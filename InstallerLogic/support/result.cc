#include "support/result.h"

#include <cstdarg>
#include <cstdio>

namespace support {

Error Errorf(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return Error{buffer};
}

}  // namespace support
