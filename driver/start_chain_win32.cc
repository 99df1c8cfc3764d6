#include <windows.h>
// clang-format off
#include <tlhelp32.h>
// clang-format on

#include <cstdlib>

#include "driver/start_chain_platform.h"
#include "support/win32_text.h"

unsigned long long own_process_id() {
  return GetCurrentProcessId();
}

// The system's process list keeps each process's parent: one snapshot gives
// the whole line of ancestors.
bool waits_above(unsigned long long wrapper) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  DWORD current = GetCurrentProcessId();
  bool above = false;
  for (int depth = 0; depth < 4096 && !above; ++depth) {
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      if (entry.th32ProcessID == current) {
        parent = entry.th32ParentProcessID;
        break;
      }
    }
    if (parent == 0 || parent == current) break;
    above = parent == wrapper;
    current = parent;
  }
  CloseHandle(snapshot);
  return above;
}

// The C runtime's environment is in the system's code page, so a block built
// from it would garble the tool's variables on the way to UTF-16. The entry
// goes into the wrapper's own environment instead, which the tool inherits.
char** hand_over_environment(char**, const char* text) {
  const char* equals = text;
  while (*equals != '=') ++equals;
  SetEnvironmentVariableW(L"VESK_WRAPPER_CHAIN", wide_text(equals + 1));
  return nullptr;
}
