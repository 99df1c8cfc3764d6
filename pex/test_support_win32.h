// The Windows side of test_support.h.
#pragma once

#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "support/win32_text.h"

namespace pex_testing {

// The back end's status is the exit code itself.
constexpr int exited_with(int code) {
  return code;
}

inline bool lose_child_statuses(bool lose) {
  return !lose;
}

inline void set_env(const char* name, const char* value) {
  _putenv((std::string(name) + "=" + (value != nullptr ? value : "")).c_str());
}

// Wine reports no CPU times for a process that has ended; Windows does.
inline bool ended_child_times_known() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
}

// The C runtime's open descriptors.
inline std::set<int> open_fds() {
  std::set<int> fds;
  for (int fd = 0; fd < 2048; ++fd)
    if (_get_osfhandle(fd) != -1) fds.insert(fd);
  return fds;
}

// Tells whether a child the engine let go of (its handle closed) is gone,
// through a handle of the test's own; a survivor is ended.
struct child_watch {
  explicit child_watch(pex_child_id child) {
    DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(child), GetCurrentProcess(),
                    &process, 0, FALSE, DUPLICATE_SAME_ACCESS);
  }
  ~child_watch() {
    if (process == nullptr) return;
    if (!ended()) TerminateProcess(process, 1);
    CloseHandle(process);
  }
  bool ended() const {
    return process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  }
  HANDLE process = nullptr;
};

}  // namespace pex_testing
