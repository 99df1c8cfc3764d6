#include <io.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "support/alloc.h"
#include "support/diagnostics.h"
#include "support/win32_text.h"

// A console takes narrow text in its own code page, which need not hold what
// the user typed, so it gets the line in UTF-16 instead.
void print_error(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  auto* text = static_cast<char*>(checked_alloc(static_cast<size_t>(length) + 1));
  va_start(arguments, format);
  vsnprintf(text, static_cast<size_t>(length) + 1, format, arguments);
  va_end(arguments);
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr)));
  DWORD mode = 0;
  if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
    fflush(stderr);
    wide_text wide(text);
    DWORD written = 0;
    WriteConsoleW(console, wide, static_cast<DWORD>(wcslen(wide)), &written, nullptr);
  } else {
    fputs(text, stderr);
  }
  free(text);
}
