#include <cstdarg>
#include <cstdio>

#include "support/diagnostics.h"

void print_error(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vfprintf(stderr, format, arguments);
  va_end(arguments);
}
