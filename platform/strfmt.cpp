// Bounded formatting that always terminates the buffer.
#include "platform/strfmt.h"

#include <cstdarg>
#include <cstdio>

int str_snprintf(char* buffer, size_t size, const char* format, ...) {
  if (buffer == nullptr || size == 0) return -1;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  if (n < 0) buffer[0] = '\0';
  return n;
}
