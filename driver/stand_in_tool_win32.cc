// A stand-in for the wrapped tool on Windows. It appends its arguments (UTF-8,
// each ended by a NUL byte) to the file named by STAND_IN_RECORD, and the
// contents of every "@file" argument, opened by its name in the ANSI code page
// as a narrow main would, to that name with ".rsp" added; writes its
// environment so to the file named by STAND_IN_ENVIRONMENT; with
// STAND_IN_CTRL_C, sends Ctrl-C to its console and writes "got" and a newline
// to standard output once its own handler has seen it; copies standard input
// to standard output when STAND_IN_ECHO is set; writes "leaked"
// to standard output when the handle value in STAND_IN_HANDLE names the test's
// file "handle-marker" here;
// with STAND_IN_START, starts that program once (the variable removed), waits
// and exits with its code; else ends by the exception STAND_IN_EXCEPTION names,
// waits forever with STAND_IN_WAIT, or exits with STAND_IN_EXIT (any 32-bit
// value, default 0).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/win32_text.h"

namespace {

// WTF-8, so that a lone surrogate is recorded as it came.
std::string utf8(const wchar_t* text) {
  char* narrow = wide_to_utf8(text);
  std::string out = narrow;
  free(narrow);
  return out;
}

// A handle value of the test's may well be some other handle of ours: only
// the test's own file, "handle-marker", counts as the handle leaked.
bool names_marker(HANDLE handle) {
  wchar_t name[MAX_PATH * 4];
  DWORD length = GetFinalPathNameByHandleW(handle, name, MAX_PATH * 4, 0);
  return length > 0 && length < MAX_PATH * 4 && wcsstr(name, L"\\handle-marker") != nullptr;
}

void append_file_to(FILE* out, const wchar_t* name) {
  char ansi[MAX_PATH * 4];
  if (WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof ansi, nullptr, nullptr) == 0) return;
  FILE* in = fopen(ansi, "rb");
  if (in == nullptr) return;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, in)) > 0) fwrite(buffer, 1, got, out);
  fclose(in);
}

// Each frame stays live, so the stack runs out rather than the loop folding.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
int recurse(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  return recurse(depth + 1) + frame[0];
}
#pragma GCC diagnostic pop

// A debugger the system starts for an unhandled exception would inherit our
// handles and outlive us.
LONG WINAPI end_at_once(EXCEPTION_POINTERS*) {
  return EXCEPTION_EXECUTE_HANDLER;
}

[[noreturn]] void end_by(const char* kind) {
  // No debugger, no dialog: the process simply ends with the exception's code.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(end_at_once);
  if (strcmp(kind, "access") == 0) *static_cast<volatile int*>(nullptr) = 1;
  if (strcmp(kind, "stack") == 0) recurse(0);
  if (strcmp(kind, "illegal") == 0) __builtin_trap();
  // What a failed stack cookie check does (__fastfail, which MinGW lacks).
  if (strcmp(kind, "overrun") == 0)
    asm volatile("int $0x29" ::"c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE));
  if (strcmp(kind, "divide") == 0)
    asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                     : "eax", "ecx", "edx");
  ExitProcess(124);
}

HANDLE interrupted;

BOOL WINAPI note_interrupt(DWORD) {
  SetEvent(interrupted);
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (const char* record = getenv("STAND_IN_RECORD")) {
    FILE* out = fopen(record, "ab");
    FILE* responses = fopen((std::string(record) + ".rsp").c_str(), "ab");
    if (out == nullptr || responses == nullptr) return 120;
    for (int i = 0; i < argc; ++i) {
      std::string argument = utf8(argv[i]);
      fwrite(argument.c_str(), 1, argument.size() + 1, out);
      if (argv[i][0] == L'@') append_file_to(responses, argv[i] + 1);
    }
    if (fclose(out) != 0 || fclose(responses) != 0) return 121;
  }
  if (const char* record = getenv("STAND_IN_ENVIRONMENT")) {
    FILE* out = fopen(record, "wb");
    for (char** entry = held_environment(); out != nullptr && *entry != nullptr; ++entry)
      fwrite(*entry, 1, strlen(*entry) + 1, out);
    if (out == nullptr || fclose(out) != 0) return 121;
  }
  if (getenv("STAND_IN_CTRL_C") != nullptr) {
    interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_interrupt, TRUE);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ||
        WaitForSingleObject(interrupted, INFINITE) != 0)
      return 126;
    DWORD put;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "got\n", 4, &put, nullptr);
  }
  if (getenv("STAND_IN_ECHO") != nullptr) {
    char buffer[65536];
    DWORD got, put;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0)
      if (!WriteFile(out, buffer, got, &put, nullptr) || put != got) return 122;
  }
  if (const char* value = getenv("STAND_IN_HANDLE")) {
    auto handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoull(value, nullptr, 0)));
    if (names_marker(handle)) fputs("leaked", stdout);
    fflush(stdout);
  }
  if (const wchar_t* start = _wgetenv(L"STAND_IN_START")) {
    std::wstring command = L"\"" + std::wstring(start) + L"\" x.o";
    SetEnvironmentVariableW(L"STAND_IN_START", nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child))
      return 125;
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(child.hProcess, &code);
    return static_cast<int>(code);
  }
  if (const char* kind = getenv("STAND_IN_EXCEPTION")) end_by(kind);
  if (getenv("STAND_IN_WAIT") != nullptr) {
    printf("%lu\n", GetCurrentProcessId());
    fflush(stdout);
    Sleep(INFINITE);
  }
  const char* code = getenv("STAND_IN_EXIT");
  return code != nullptr ? static_cast<int>(strtoul(code, nullptr, 0)) : 0;
}
