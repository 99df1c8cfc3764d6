#include <cstring>

#include "support/environment.h"
#include "support/win32_text.h"

// Names match without letter case, as the system matches them.
const char* environment_value(const char* name) {
  size_t length = strlen(name);
  for (char** entry = held_environment(); *entry != nullptr; ++entry)
    if (_strnicmp(*entry, name, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
  return nullptr;
}
