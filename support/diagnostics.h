// The program's own lines on standard error, one file per platform
// (diagnostics_posix.cc, diagnostics_win32.cc). The text is UTF-8. A Windows
// console gets it as UTF-16, so that it shows the characters the user typed
// whatever its code page. Anywhere else the bytes go as they are.
#pragma once

[[gnu::format(printf, 1, 2)]] void print_error(const char* format, ...);
