#include "support/win32_text.h"

#include <windows.h>

#include "support/alloc.h"

wchar_t* utf8_to_wide(const char* text) {
  int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (count <= 0) count = 1;
  auto* wide = static_cast<wchar_t*>(checked_alloc(static_cast<size_t>(count) * sizeof(wchar_t)));
  if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, count) <= 0) wide[0] = L'\0';
  return wide;
}

char* wide_to_utf8(const wchar_t* text) {
  int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) count = 1;
  auto* narrow = static_cast<char*>(checked_alloc(static_cast<size_t>(count)));
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, count, nullptr, nullptr) <= 0)
    narrow[0] = '\0';
  return narrow;
}
