#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/host.h"
#include "paths/fs.h"
#include "pex/pex.h"
#include "support/alloc.h"
#include "support/concat.h"
#include "support/diagnostics.h"
#include "support/environment.h"
#include "support/temp_file.h"
#include "support/win32_text.h"

namespace {

// `wide` in the ANSI code page, which the tools' narrow main and their reading
// of a response file use; null when the code page cannot hold every
// character, since any stand-in character would name another file.
char* ansi_text(const wchar_t* wide) {
  UINT code_page = GetACP();
  BOOL lossy = FALSE;
  BOOL* lossy_out = code_page == CP_UTF8 ? nullptr : &lossy;
  DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  int size = WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0, nullptr, lossy_out);
  if (size <= 0 || lossy) return nullptr;
  char* text = static_cast<char*>(checked_alloc(static_cast<size_t>(size)));
  if (WideCharToMultiByte(code_page, flags, wide, -1, text, size, nullptr, nullptr) == size)
    return text;
  free(text);
  return nullptr;
}

bool ansi_spells(const wchar_t* wide) {
  char* text = ansi_text(wide);
  bool held = text != nullptr;
  free(text);
  return held;
}

// The name the system keeps for `path` in its short form, or null.
wchar_t* short_path(const wchar_t* path) {
  DWORD size = GetShortPathNameW(path, nullptr, 0);
  if (size == 0) return nullptr;
  auto* name = static_cast<wchar_t*>(checked_alloc(size * sizeof(wchar_t)));
  DWORD length = GetShortPathNameW(path, name, size);
  if (length > 0 && length < size) return name;
  free(name);
  return nullptr;
}

struct exception_name {
  DWORD code;
  const char* text;
};

// The ends of a process that the system reports in place of an exit code.
constexpr exception_name exception_names[] = {
    {EXCEPTION_ACCESS_VIOLATION, "access violation"},
    {EXCEPTION_STACK_OVERFLOW, "stack overflow"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "illegal instruction"},
    {EXCEPTION_PRIV_INSTRUCTION, "privileged instruction"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "integer division by zero"},
    {EXCEPTION_INT_OVERFLOW, "integer overflow"},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, "floating-point division by zero"},
    {EXCEPTION_FLT_INVALID_OPERATION, "invalid floating-point operation"},
    {EXCEPTION_FLT_OVERFLOW, "floating-point overflow"},
    {EXCEPTION_FLT_UNDERFLOW, "floating-point underflow"},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, "array bounds exceeded"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, "misaligned data"},
    {EXCEPTION_IN_PAGE_ERROR, "page not loaded"},
    {EXCEPTION_GUARD_PAGE, "guard page reached"},
    {EXCEPTION_BREAKPOINT, "breakpoint"},
    {EXCEPTION_NONCONTINUABLE_EXCEPTION, "noncontinuable exception"},
    {EXCEPTION_INVALID_DISPOSITION, "invalid exception disposition"},
    {0xC0000374, "heap corruption"},
    {0xC0000409, "stack buffer overrun"},
};

}  // namespace

// The tools read a response file in the ANSI code page.
char* response_file_text(const char* argument) {
  char* text = ansi_text(wide_text(argument));
  if (text == nullptr) errno = EILSEQ;
  return text;
}

// The tools read their narrow command line in the ANSI code page: a name it
// cannot spell would reach them as another file's. Where the volume keeps
// short names, a folder named in another script (a profile folder such as
// C:\Users\Łukasz under 1252) has one it can.
const char* path_for_tool(const char* path) {
  wide_text wide(path);
  const char* spelled = ansi_spells(wide) ? path : nullptr;
  if (spelled == nullptr) {
    if (wchar_t* short_name = short_path(wide)) {
      if (ansi_spells(short_name)) spelled = wide_to_utf8(short_name);
      free(short_name);
    }
  }
  return spelled;
}

// The first temporary folder the tool can read the name of, with a separator
// to join a file name to.
char* response_file_directory() {
  const char* candidates[temp_directory_candidate_count];
  size_t count = usable_temp_directories(candidates);
  for (size_t i = 0; i < count; ++i) {
    const char* chosen = path_for_tool(candidates[i]);
    if (chosen == nullptr) continue;
    // A backslash, which a name in the long form ("\\?\") reads as a separator too.
    size_t length = strlen(chosen);
    bool separated = length > 0 && (chosen[length - 1] == '\\' || chosen[length - 1] == '/');
    return concat_strings(chosen, separated ? "" : "\\", nullptr);
  }
  errno = ENOENT;
  return nullptr;
}

char** process_environment() {
  return held_environment();
}

// The system spells the variable "Path" as often as "PATH"; its own lookup
// ignores letter case.
const char* path_value(const char* found) {
  return found != nullptr ? found : environment_value("PATH");
}

// The module's own file: a caller may set argv[0] to anything, and a bare
// name says nothing of where the program lies.
const char* own_path(const char* argv0) {
  char* path = running_program_path();
  return path != nullptr ? path : argv0;
}

void remove_response_file(const char* name) {
  DeleteFileW(wide_text(name));
}

const char* signal_description(int) {
  return "";
}

// The exit code passes on unchanged, all 32 bits; an exception that ended the
// tool is named first.
const char* exception_description(unsigned long code) {
  for (const exception_name& known : exception_names)
    if (known.code == code) return known.text;
  return nullptr;
}
