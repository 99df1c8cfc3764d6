#include "support/win32_text.h"

#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cwchar>

#include "support/alloc.h"

namespace {

char** held = nullptr;

bool is_high_surrogate(unsigned unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(unsigned unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The code point at `text` and the bytes it takes. A byte that starts no
// well-formed sequence is U+FFFD on its own, and a surrogate's three bytes
// read as that surrogate.
unsigned decode(const unsigned char* text, size_t* taken) {
  unsigned lead = text[0];
  *taken = 1;
  if (lead < 0x80) return lead;
  size_t count = lead >= 0xC2 && lead <= 0xDF   ? 2
                 : lead >= 0xE0 && lead <= 0xEF ? 3
                 : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                : 0;
  if (count == 0) return 0xFFFD;
  unsigned point = lead & (0x7F >> count);
  for (size_t i = 1; i < count; ++i) {
    if (!is_continuation(text[i])) return 0xFFFD;
    point = (point << 6) | (text[i] & 0x3F);
  }
  if ((count == 3 && point < 0x800) || (count == 4 && (point < 0x10000 || point > 0x10FFFF)))
    return 0xFFFD;
  *taken = count;
  return point;
}

}  // namespace

wchar_t* utf8_to_wide(const char* text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t units = 1;
  for (size_t i = 0, taken; bytes[i] != 0; i += taken)
    units += decode(bytes + i, &taken) > 0xFFFF ? 2 : 1;
  auto* wide = static_cast<wchar_t*>(checked_alloc(units * sizeof(wchar_t)));
  wchar_t* out = wide;
  for (size_t i = 0, taken; bytes[i] != 0; i += taken) {
    unsigned point = decode(bytes + i, &taken);
    if (point > 0xFFFF) {
      *out++ = static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
      *out++ = static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      *out++ = static_cast<wchar_t>(point);
    }
  }
  *out = L'\0';
  return wide;
}

char* wide_to_utf8(const wchar_t* text) {
  size_t size = 1;
  for (const wchar_t* c = text; *c != L'\0'; ++c) {
    unsigned unit = *c;
    if (is_high_surrogate(unit) && is_low_surrogate(c[1])) {
      size += 4;
      ++c;
    } else {
      size += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
    }
  }
  auto* narrow = static_cast<char*>(checked_alloc(size));
  auto* out = reinterpret_cast<unsigned char*>(narrow);
  for (const wchar_t* c = text; *c != L'\0'; ++c) {
    unsigned point = *c;
    if (is_high_surrogate(point) && is_low_surrogate(c[1])) {
      point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<unsigned>(c[1]) - 0xDC00);
      ++c;
    }
    if (point < 0x80) {
      *out++ = static_cast<unsigned char>(point);
    } else if (point < 0x800) {
      *out++ = static_cast<unsigned char>(0xC0 | (point >> 6));
      *out++ = static_cast<unsigned char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      *out++ = static_cast<unsigned char>(0xE0 | (point >> 12));
      *out++ = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (point & 0x3F));
    } else {
      *out++ = static_cast<unsigned char>(0xF0 | (point >> 18));
      *out++ = static_cast<unsigned char>(0x80 | ((point >> 12) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (point & 0x3F));
    }
  }
  *out = 0;
  return narrow;
}

// The C runtime's narrow table is in the ANSI code page, and under wmain need
// not exist at all. The system's own block is read instead, once.
char** held_environment() {
  if (held != nullptr) return held;
  wchar_t* block = GetEnvironmentStringsW();
  size_t count = 0;
  for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0';
       entry += wcslen(entry) + 1)
    ++count;
  held = static_cast<char**>(checked_calloc(count + 1, sizeof(char*)));
  size_t at = 0;
  for (const wchar_t* entry = block; at < count; entry += wcslen(entry) + 1)
    held[at++] = wide_to_utf8(entry);
  if (block != nullptr) FreeEnvironmentStringsW(block);
  return held;
}

wchar_t* system_path(const wchar_t* path) {
  DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
  auto* full = static_cast<wchar_t*>(checked_alloc((size + wcslen(path) + 1) * sizeof(wchar_t)));
  DWORD length = size > 0 ? GetFullPathNameW(path, size, full, nullptr) : 0;
  if (length == 0 || length >= size) wcscpy(full, path);
  if (wcslen(full) < MAX_PATH || wcsncmp(full, L"\\\\?\\", 4) == 0) return full;
  bool unc = full[0] == L'\\' && full[1] == L'\\';
  const wchar_t* prefix = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
  const wchar_t* rest = unc ? full + 1 : full;
  auto* long_form =
      static_cast<wchar_t*>(checked_alloc((wcslen(prefix) + wcslen(rest) + 1) * sizeof(wchar_t)));
  wcscpy(long_form, prefix);
  wcscat(long_form, rest);
  free(full);
  return long_form;
}
