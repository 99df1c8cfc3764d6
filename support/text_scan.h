// Scanning of null-terminated text, the same on every platform.
#pragma once

#include <cstring>

// The first `c` in `text`, or its terminator.
inline const char* find_or_end(const char* text, char c) {
  const char* found = strchr(text, c);
  return found != nullptr ? found : text + strlen(text);
}
