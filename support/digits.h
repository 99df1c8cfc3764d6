// Unsigned numbers written in digits and read back, without the C library:
// the start-up path counts its instructions, and a signal handler may call
// nothing that is not async-signal-safe.
#pragma once

// `value` in `base` (2 to 16, lower-case letters) at `out`, with zeros ahead
// up to `width` digits; returns the end of what was written, unterminated.
inline char* append_digits(char* out, unsigned long long value, unsigned base, int width = 1) {
  char digits[64];
  int count = 0;
  do {
    digits[count++] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0 || count < width);
  while (count > 0) *out++ = digits[--count];
  return out;
}

// The hexadecimal number (either case) at `text`, through *value; returns
// the end of its digits, or null when there are none or it needs more than
// 64 bits, which read on would wrap around.
inline const char* read_hex(const char* text, unsigned long long* value) {
  unsigned long long number = 0;
  const char* p = text;
  for (;; ++p) {
    int nibble = *p >= '0' && *p <= '9'   ? *p - '0'
                 : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                 : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                          : -1;
    if (nibble < 0) break;
    if (number >> 60 != 0) return nullptr;
    number = number << 4 | static_cast<unsigned>(nibble);
  }
  if (p == text) return nullptr;
  *value = number;
  return p;
}
