// windows.h first: the other system headers build on its types.
#include <windows.h>
// clang-format off
#include <psapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "support/alloc.h"
#include "support/diagnostics.h"
#include "support/environment.h"
#include "support/platform.h"
#include "support/temp_file.h"
#include "support/win32_text.h"

namespace {

char** held = nullptr;

SIZE_T initial_usage = 0;
bool base_noted = false;

SIZE_T private_usage() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                               reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof counters))
    return 0;
  return counters.PrivateUsage;
}

}  // namespace

// The C runtime's narrow table is in the ANSI code page, and under wmain need
// not exist at all: the system's own block is read instead, once.
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

const char* environment_value(const char* name) {
  size_t length = strlen(name);
  for (char** entry = held_environment(); *entry != nullptr; ++entry)
    if (_strnicmp(*entry, name, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
  return nullptr;
}

// A console takes narrow text in its own code page, which need not hold what
// the user typed: it gets the line in UTF-16 instead.
void print_error(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  auto* text = static_cast<char*>(checked_alloc(static_cast<size_t>(length) + 1));
  va_start(arguments, format);
  vsnprintf(text, static_cast<size_t>(length) + 1, format, arguments);
  va_end(arguments);
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr)));
  DWORD mode = 0;
  if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
    fflush(stderr);
    wchar_t* wide = utf8_to_wide(text);
    DWORD written = 0;
    WriteConsoleW(console, wide, static_cast<DWORD>(wcslen(wide)), &written, nullptr);
    free(wide);
  } else {
    fputs(text, stderr);
  }
  free(text);
}

void note_allocation_base() {
  if (base_noted) return;
  base_noted = true;
  initial_usage = private_usage();
}

// The system has no program break: the committed private memory stands in.
unsigned long allocated_since_base() {
  SIZE_T now = private_usage();
  return static_cast<unsigned long>(now > initial_usage ? now - initial_usage : 0);
}

bool usable_temp_directory(const char* directory) {
  if (directory == nullptr) return false;
  wchar_t* wide = utf8_to_wide(directory);
  DWORD attributes = GetFileAttributesW(wide);
  free(wide);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The C runtime has no mkstemps: the six X's before the suffix become random
// letters and digits until an exclusive create succeeds.
int make_unique_file(char* name, int suffix_length) {
  size_t length = strlen(name);
  if (suffix_length < 0 || length < static_cast<size_t>(suffix_length) + 6 ||
      memcmp(name + length - suffix_length - 6, "XXXXXX", 6) != 0) {
    errno = EINVAL;
    return -1;
  }
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  char* x = name + length - suffix_length - 6;
  static unsigned long long state = 0;
  state ^= GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
           reinterpret_cast<uintptr_t>(&state);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    for (int i = 0; i < 6; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      x[i] = letters[(state >> 33) % (sizeof letters - 1)];
    }
    wchar_t* wide = utf8_to_wide(name);
    int fd =
        _wopen(wide, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    int saved_errno = errno;
    free(wide);
    if (fd >= 0 || saved_errno != EEXIST) {
      errno = saved_errno;
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}
