#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/host.h"
#include "driver/response_file.h"
#include "paths/relocate.h"
#include "pex/pex.h"
#include "support/alloc.h"
#include "support/concat.h"
#include "support/diagnostics.h"
#include "support/environment.h"
#include "support/temp_file.h"
#include "support/win32_text.h"

namespace {

// The tools read a response file in their ANSI code page, which is the
// system's: an argument goes in that code page, and one holding a character the code page cannot
// hold is refused (false, errno EILSEQ), since any stand-in character would name another file.
bool write_quoted(FILE* out, const char* argument) {
  UINT code_page = GetACP();
  wchar_t* wide = utf8_to_wide(argument);
  BOOL lossy = FALSE;
  BOOL* lossy_out = code_page == CP_UTF8 ? nullptr : &lossy;
  DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  int size = WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0, nullptr, lossy_out);
  char* text = static_cast<char*>(checked_alloc(size > 0 ? static_cast<size_t>(size) : 1));
  bool held = size > 0 && !lossy &&
              WideCharToMultiByte(code_page, flags, wide, -1, text, size, nullptr, nullptr) == size;
  free(wide);
  if (held && !write_response_line(out, text)) {
    free(text);
    return false;
  }
  free(text);
  if (!held) errno = EILSEQ;
  return held;
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

// The caller's arguments, written to a fresh file; its name, or null with errno set.
char* write_response_file(char* const* arguments) {
  char* name = reserve_temp_file(".rsp");
  wchar_t* wide = utf8_to_wide(name);
  FILE* out = _wfopen(wide, L"wb");
  bool written = out != nullptr;
  for (char* const* argument = arguments; written && *argument != nullptr; ++argument)
    written = write_quoted(out, *argument);
  int saved_errno = errno;
  if (out != nullptr && fclose(out) != 0 && written) {
    written = false;
    saved_errno = errno;
  }
  if (!written) {
    DeleteFileW(wide);
    free(name);
    name = nullptr;
  }
  free(wide);
  errno = saved_errno;
  return name;
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
  wchar_t* wide = utf8_to_wide(name);
  DeleteFileW(wide);
  free(wide);
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
