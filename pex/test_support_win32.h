// The Windows side of test_support.h.
#pragma once

#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
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

// A fresh directory for one scope, removed with its contents afterwards.
struct temp_dir {
  temp_dir() {
    static int count = 0;
    wchar_t base[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, base) == 0) return;
    char* narrow = wide_to_utf8(base);
    std::string candidate = narrow;
    free(narrow);
    for (char& c : candidate)
      if (c == '\\') c = '/';
    // Wine hands out the same small process ids after each fresh server, so
    // the id alone names folders of earlier runs: the clock tells runs apart,
    // and a name that exists all the same is never taken over.
    LARGE_INTEGER clock;
    QueryPerformanceCounter(&clock);
    candidate += "pex_test." + std::to_string(GetCurrentProcessId()) + "." +
                 std::to_string(clock.QuadPart) + ".";
    for (int attempt = 0; attempt < 100 && name.empty(); ++attempt) {
      std::string unique = candidate + std::to_string(++count);
      wchar_t* wide = utf8_to_wide(unique.c_str());
      if (CreateDirectoryW(wide, nullptr)) name = unique;
      bool taken = GetLastError() == ERROR_ALREADY_EXISTS;
      free(wide);
      if (name.empty() && !taken) break;
    }
  }
  ~temp_dir() {
    std::error_code ignored;
    if (!name.empty()) std::filesystem::remove_all(name, ignored);
  }
  std::string path(const char* leaf) const { return name + "/" + leaf; }
  std::string name;
};

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
