// The program's own lines on standard error. The text is UTF-8; on a Windows
// console it is written as UTF-16, so the console shows the characters the
// user typed whatever its code page; anywhere else the bytes go as they are.
#pragma once

[[gnu::format(printf, 1, 2)]] void print_error(const char* format, ...);
